// Finding the one attached blaster among the devices of the vendor's chip.
#ifndef ZUV_DISCOVERY_H
#define ZUV_DISCOVERY_H

enum DiscoveryOutcome {
    Found,      // exactly one blaster; its description is in the buffer
    InitFailed, // the driver could not list the devices
    NoneFound,  // no device, or no device whose description marks a blaster
    ListFailed, // the device records could not be allocated or read
    Multiple    // more than one blaster
};

// Lists the attached devices through the driver and picks out the blasters.
// chosenDescription must hold DescriptionBufferSize bytes. On Found it holds the
// blaster's description (at most the 64 bytes of the list record's field, always
// terminated); on every other outcome its contents are unspecified. Prints
// nothing and changes nothing on any device; the device list is released before
// it returns.
DiscoveryOutcome DiscoverBlaster(char* chosenDescription);

#endif
