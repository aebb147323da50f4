// The entry point: one rename run. Arguments are not read, and the exit status
// is 0 on every path, failures included.
#include "rename_run.h"

int main() {
    RunRename();
    return 0;
}
