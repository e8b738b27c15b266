// velstrandshort: the daemon with the retention's memory of a list trusted for four seconds instead
// of an hour, so a case can see the full read come round.
#include "daemon/daemon.h"

int main() {
    Profile profile = kDaemonProfile;
    profile.full_read_seconds = 4;
    return daemon_main(profile);
}
