#pragma once

#include <vector>

#include "peer_identity.h"

// Whose a Windows process is: the user of its access token, compared with ours. The
// system's TCP tables name the process at each end of a connection by its id.
class ProcessOwners {
public:
    ProcessOwners();

    // pid: a process id as the TCP table gives it (a DWORD).
    PeerIdentity identify(unsigned long pid) const;

private:
    std::vector<unsigned char> ourUser;
};
