// velstrand: the production daemon, cycling until SIGTERM or SIGINT.
#include "daemon/daemon.h"

int main() {
    return daemon_main(kDaemonProfile);
}
