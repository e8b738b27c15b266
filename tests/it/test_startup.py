# Start-up of both programs: detaching, descriptors, syslog identity, the test build's run.
import os
import re
import resource
import signal
import syslog

from harness import exit_code, wait_exit


def test_daemon_detaches_with_clean_descriptors_and_logs_as_velstrand(world):
    world.settings(sleeping_time=100)
    # Inherited descriptors must be closed up to the hard limit, not only below the soft one
    # that the daemon starts with.
    low = os.open("/dev/zero", os.O_RDONLY)
    high = os.dup2(low, 900)

    def lower_soft_limit():
        resource.setrlimit(resource.RLIMIT_NOFILE, (64, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))

    daemon = world.start("velstrand", pass_fds=(low, high), preexec_fn=lower_soft_limit)
    os.close(low)
    os.close(high)
    assert world.log.wait_for("velstrand: lock lock:velstrand released")

    with open(f"/proc/{daemon}/stat") as f:
        assert int(f.read().rsplit(")", 1)[1].split()[3]) == daemon, "not a session leader"
    assert os.readlink(f"/proc/{daemon}/cwd") == "/"
    fds = {int(fd): os.readlink(f"/proc/{daemon}/fd/{fd}") for fd in os.listdir(f"/proc/{daemon}/fd")}
    assert [fds.get(i) for i in range(3)] == ["/dev/null"] * 3
    # Besides 0-2 only the syslog socket: the loop's connection is freed before the pause.
    assert len(fds) == 4 and fds[max(fds)].startswith("socket:"), fds

    [started] = world.log.matching("velstrand started by system 0")
    assert (started.message, started.ident, started.pid) == ("velstrand started by system 0", "velstrand", daemon)
    assert (started.facility, started.priority) == (syslog.LOG_USER >> 3, syslog.LOG_INFO)
    assert all(l.priority != syslog.LOG_DEBUG and l.ident == "velstrand" for l in world.log.lines)

    os.kill(daemon, signal.SIGTERM)
    assert exit_code(wait_exit(daemon, 20)) == 0, "SIGTERM did not end the pause"
