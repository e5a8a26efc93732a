/* The infrared link library. One link at a time: a serial device (the one
 * ComN names) opened raw and non-blocking, so reads return at once. */
#include "transport/irlib/irlib.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

static int link_fd = -1;

/* How long a write may make no progress before it gives up. */
#define WRITE_STALL_MS 5000

static speed_t speed_constant(int speed)
{
    switch (speed) {
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 1800:
        return B1800;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 500000:
        return B500000;
    case 576000:
        return B576000;
    case 921600:
        return B921600;
    case 1000000:
        return B1000000;
    case 1152000:
        return B1152000;
    case 1500000:
        return B1500000;
    case 2000000:
        return B2000000;
    case 2500000:
        return B2500000;
    case 3000000:
        return B3000000;
    case 3500000:
        return B3500000;
    case 4000000:
        return B4000000;
    default:
        return B0;
    }
}

/* Strips blanks (and line ends) at both ends, in place. */
static char *trim(char *s)
{
    char *end;
    while (*s && isspace((unsigned char)*s))
        ++s;
    end = s + strlen(s);
    while (end > s && isspace((unsigned char)end[-1]))
        --end;
    *end = '\0';
    return s;
}

/* The config folder: $VENDRIX_HOME, else the per-user config folder
 * ($XDG_CONFIG_HOME or ~/.config) with Vendrix below it. */
static int config_dir(char *out, size_t size)
{
    const char *home = getenv("VENDRIX_HOME");
    const char *xdg;
    int n;
    if (home && *home) {
        n = snprintf(out, size, "%s", home);
        return n > 0 && (size_t)n < size;
    }
    xdg = getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg) {
        n = snprintf(out, size, "%s/Vendrix", xdg);
        return n > 0 && (size_t)n < size;
    }
    home = getenv("HOME");
    if (!home || !*home) {
        const struct passwd *pw = getpwuid(getuid());
        home = pw ? pw->pw_dir : NULL;
    }
    if (!home)
        return 0;
    n = snprintf(out, size, "%s/.config/Vendrix", home);
    return n > 0 && (size_t)n < size;
}

/* The ComN= line of ports.ini (key without regard to case), if any. */
static int device_from_ports_file(int port, char *out, size_t size)
{
    char dir[4096];
    char path[4200];
    char line[4096];
    char wanted[8];
    FILE *file;
    int found = 0;
    if (!config_dir(dir, sizeof dir))
        return 0;
    snprintf(path, sizeof path, "%s/ports.ini", dir);
    file = fopen(path, "r");
    if (!file)
        return 0;
    snprintf(wanted, sizeof wanted, "com%d", port);
    while (!found && fgets(line, sizeof line, file)) {
        char *text = trim(line);
        char *eq = strchr(text, '=');
        char *key;
        char *value;
        if (!eq || eq == text)
            continue;
        *eq = '\0';
        key = trim(text);
        value = trim(eq + 1);
        if (strcasecmp(key, wanted) == 0 && *value) {
            int n = snprintf(out, size, "%s", value);
            found = n > 0 && (size_t)n < size;
        }
    }
    fclose(file);
    return found;
}

/* The device that ComN names: $VENDRIX_COM<N>, else the ComN= line of
 * ports.ini, else /dev/ttyS<N-1>. A bare name ("ttyUSB0") lives in /dev. */
static int device_for_port(int port, char *out, size_t size)
{
    char name[4096];
    char variable[16];
    const char *env;
    int n;
    if (port < 1 || port > 9)
        return 0;
    snprintf(variable, sizeof variable, "VENDRIX_COM%d", port);
    env = getenv(variable);
    if (env && *env)
        n = snprintf(name, sizeof name, "%s", env);
    else if (device_from_ports_file(port, name, sizeof name))
        n = (int)strlen(name);
    else
        n = snprintf(name, sizeof name, "/dev/ttyS%d", port - 1);
    if (n <= 0 || (size_t)n >= sizeof name)
        return 0;
    if (name[0] == '/' || strncmp(name, "./", 2) == 0 || strncmp(name, "../", 3) == 0)
        n = snprintf(out, size, "%s", name);
    else
        n = snprintf(out, size, "/dev/%s", name);
    return n > 0 && (size_t)n < size;
}

int vbOpenIrCom(int port, int speed)
{
    char device[4200];
    struct termios tio;
    struct stat st;
    const speed_t rate = speed_constant(speed);
    int fd;

    CloseIrCom();
    if (rate == B0 || !device_for_port(port, device, sizeof device))
        return 0;
    /* Only a character device is opened read-write: a port mapped to a
     * regular file or anything else is never touched. */
    if (stat(device, &st) != 0 || !S_ISCHR(st.st_mode))
        return 0;
    fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;
    if (!isatty(fd) || tcgetattr(fd, &tio) != 0) {
        close(fd);
        return 0;
    }
    /* Keep other programs off the line while the link is open: the
     * kernel's exclusive mode, and the lock every opener of a port takes
     * (which also holds against root). */
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return 0;
    }
    ioctl(fd, TIOCEXCL);
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, rate) != 0 || cfsetospeed(&tio, rate) != 0 || tcsetattr(fd, TCSANOW, &tio) != 0
        || tcgetattr(fd, &tio) != 0 || cfgetospeed(&tio) != rate) {
        close(fd);
        return 0;
    }
    /* A fresh link: nothing from before it was opened. */
    tcflush(fd, TCIFLUSH);
    link_fd = fd;
    return 1;
}

int WriteIrCom(const char *text)
{
    size_t length;
    size_t done = 0;
    if (link_fd < 0 || !text)
        return -1;
    length = strlen(text);
    while (done < length) {
        const ssize_t n = write(link_fd, text + done, length - done);
        if (n > 0) {
            done += (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd p;
            int ready;
            p.fd = link_fd;
            p.events = POLLOUT;
            p.revents = 0;
            do
                ready = poll(&p, 1, WRITE_STALL_MS);
            while (ready < 0 && errno == EINTR);
            if (ready > 0 && !(p.revents & (POLLERR | POLLNVAL)))
                continue;
        }
        return -1;
    }
    return (int)done;
}

int vbReadIrCom(char *buffer)
{
    ssize_t n;
    if (link_fd < 0 || !buffer)
        return 0;
    do
        n = read(link_fd, buffer, IRLIB_READ_MAX);
    while (n < 0 && errno == EINTR);
    return n > 0 ? (int)n : 0;
}

void CloseIrCom(void)
{
    if (link_fd < 0)
        return;
    ioctl(link_fd, TIOCNXCL);
    close(link_fd);
    link_fd = -1;
}
