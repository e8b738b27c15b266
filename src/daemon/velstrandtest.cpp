// velstrandtest: the test build, which ends after five cycles and logs each job's milliseconds.
#include "daemon/daemon.h"

int main() {
    return daemon_main(kTestProfile);
}
