// Entering a private namespace: mount, net and pid, with the caller as its init, and the case's
// own /etc/quellbay, /dev and loopback built inside.
#include "harness/namespace.h"

#include <fcntl.h>
#include <linux/limits.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "namespace setup: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(2);
}

void must_mount(const char* src, const char* target, const char* type, unsigned long flags,
                const char* data = nullptr) {
    if (mount(src, target, type, flags, data) != 0) {
        die(std::string("mount ") + target);
    }
}

void must_mkdir(const std::string& path, mode_t mode = 0755) {
    if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST) {
        die("mkdir " + path);
    }
}

void bind_device(const std::string& name) {
    const std::string stub = "/mnt/dev/" + name;
    const int fd = open(stub.c_str(), O_CREAT | O_WRONLY, 0666);
    if (fd < 0) {
        die("create " + stub);
    }
    close(fd);
    must_mount(("/dev/" + name).c_str(), stub.c_str(), nullptr, MS_BIND);
}

void loopback_up() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        die("socket");
    }
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    if (ioctl(fd, SIOCGIFFLAGS, &ifr) != 0) {
        die("SIOCGIFFLAGS lo");
    }
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    if (ioctl(fd, SIOCSIFFLAGS, &ifr) != 0) {
        die("SIOCSIFFLAGS lo");
    }
    close(fd);
}

// Everything a case writes lives on a tmpfs at /mnt that vanishes with the namespace: the /etc
// overlay's upper layer, the settings directory, the small /dev and redis-server's files.
void build_private_world() {
    must_mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE);
    must_mount("tmpfs", "/mnt", "tmpfs", 0, "mode=0755,size=8g");
    for (const char* d : {"/mnt/ovl", "/mnt/ovl/upper", "/mnt/ovl/work", "/mnt/quellbay",
                          "/mnt/dev", "/mnt/redis", "/mnt/scratch"}) {
        must_mkdir(d);
    }
    chmod("/mnt/scratch", 01777);
    must_mount("overlay", "/etc", "overlay", 0,
               "lowerdir=/etc,upperdir=/mnt/ovl/upper,workdir=/mnt/ovl/work");
    must_mkdir("/etc/quellbay");
    must_mount("/mnt/quellbay", "/etc/quellbay", nullptr, MS_BIND);
    for (const char* dev : {"null", "zero", "urandom", "random"}) {
        bind_device(dev);
    }
    must_mount("/mnt/dev", "/dev", nullptr, MS_BIND | MS_REC);
    loopback_up();
    // A datagram socket's queue is ten messages by default; a daemon must never wait on ours.
    std::ofstream("/proc/sys/net/unix/max_dgram_qlen") << 65536;
}

}  // namespace

void enter_private_namespace(const std::vector<std::string>& argv) {
    if (getenv("VT_IN_NAMESPACE") == nullptr) {
        if (geteuid() != 0) {
            std::fprintf(stderr, "a private namespace needs root\n");
            std::exit(2);
        }
        char self[PATH_MAX];
        const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0) {
            die("readlink /proc/self/exe");
        }
        self[n] = '\0';
        setenv("VT_IN_NAMESPACE", "1", 1);
        std::vector<const char*> args = {"unshare", "--mount",      "--net",        "--pid",
                                         "--fork",  "--mount-proc", "--kill-child", self};
        for (size_t i = 1; i < argv.size(); ++i) {
            args.push_back(argv[i].c_str());
        }
        args.push_back(nullptr);
        execvp("unshare", const_cast<char* const*>(args.data()));
        die("exec unshare");
    }
    if (getpid() != 1) {
        std::fprintf(stderr, "expected to be the namespace's init\n");
        std::exit(2);
    }
    build_private_world();
}
