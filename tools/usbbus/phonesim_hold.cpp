// phonesim-hold NODE [INTERFACE]: plays "another program holds the phone". Opens a USB device
// node, claims the interface through usbfs and keeps it until standard input closes or a signal
// ends it. Prints "held" once the claim succeeded, else "error: " and the reason.

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: phonesim-hold /dev/bus/usb/BBB/DDD [INTERFACE]\n");
        return 2;
    }
    unsigned interface = argc == 3 ? static_cast<unsigned>(std::atoi(argv[2])) : 0;
    const int fd = ::open(argv[1], O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::printf("error: cannot open %s: %s\n", argv[1], std::strerror(errno));
        return 1;
    }
    if (::ioctl(fd, USBDEVFS_CLAIMINTERFACE, &interface) != 0) {
        std::printf("error: cannot claim interface %u: %s\n", interface, std::strerror(errno));
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) {
    }
    return 0;
}
