#include "in_child.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Writes each failure as "file\0line\0message\0" into the pipe to the parent.
class FailureForwarder : public testing::EmptyTestEventListener {
  public:
    explicit FailureForwarder(int fd) : fd_(fd) {}
    void OnTestPartResult(const testing::TestPartResult& result) override {
        if (!result.failed())
            return;
        std::string record = std::string(result.file_name() ? result.file_name() : "") + '\0' +
                             std::to_string(result.line_number()) + '\0' + result.message() + '\0';
        std::size_t done = 0;
        while (done < record.size()) {
            ssize_t n = write(fd_, record.data() + done, record.size() - done);
            if (n <= 0)
                return;
            done += static_cast<std::size_t>(n);
        }
    }

  private:
    int fd_;
};

void SetOrUnset(const char* name, const char* value) {
    if (value == nullptr)
        unsetenv(name);
    else
        setenv(name, value, 1);
}

} // namespace

void InChild(const char* bus, const char* log, const std::function<void()>& body) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::fflush(nullptr); // or the child's exit flushes the parent's buffered output again
    pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
        close(fds[0]);
        testing::TestEventListeners& listeners = testing::UnitTest::GetInstance()->listeners();
        delete listeners.Release(listeners.default_result_printer());
        listeners.Append(new FailureForwarder(fds[1]));
        SetOrUnset("FTD2XX_SIM_BUS", bus);
        SetOrUnset("FTD2XX_SIM_LOG", log);
        body();
        std::exit(0);
    }
    close(fds[1]);
    std::string reports;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fds[0], buffer, sizeof buffer)) != 0) {
        if (got < 0 && errno != EINTR)
            break;
        if (got > 0)
            reports.append(buffer, static_cast<std::size_t>(got));
    }
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);

    std::size_t pos = 0;
    while (pos < reports.size()) {
        std::string fields[3];
        for (std::string& field : fields) {
            std::size_t end = reports.find('\0', pos);
            if (end == std::string::npos)
                end = reports.size();
            field = reports.substr(pos, end - pos);
            pos = end + 1;
        }
        ADD_FAILURE_AT(fields[0].c_str(), std::atoi(fields[1].c_str()))
            << "(in the child process)\n"
            << fields[2];
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        ADD_FAILURE() << "the child process ended with wait status " << status
                      << (WIFSIGNALED(status) ? " (killed by a signal)" : "");
}

void RedirectStderr(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(dup2(fd, 2), 2);
    close(fd);
}
