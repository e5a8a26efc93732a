/*
 * The minimal peer: connects to a terminal over TCP and answers every CR
 * with ACK, storing nothing. Blocking read and write, no event loop: the
 * least any collector must pay per record (one read, one write), the floor
 * the benchmark compares the collector with.
 *
 * With --store FILE it also does what a collector must do for a text record
 * at the least: it waits for the socket with ppoll(), reads, appends what
 * arrived to FILE and answers. Four system calls per record and no other
 * work: the floor of a collector that stores, between the minimal peer and
 * the collector.
 *
 *   vendrix_bench_peer --connect HOST:PORT [--store FILE]
 *
 * Ends when the terminal closes the connection and prints "SUMMARY lines=N".
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    const int storing = argc == 5 && strcmp(argv[3], "--store") == 0;
    if ((argc != 3 && !storing) || strcmp(argv[1], "--connect") != 0) {
        fprintf(stderr, "usage: vendrix_bench_peer --connect HOST:PORT [--store FILE]\n");
        return 2;
    }
    int out = -1;
    if (storing && (out = open(argv[4], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)) < 0) {
        fprintf(stderr, "vendrix_bench_peer: cannot open %s: %s\n", argv[4], strerror(errno));
        return 2;
    }
    char host[64];
    const char *colon = strrchr(argv[2], ':');
    if (!colon || (size_t)(colon - argv[2]) >= sizeof host) {
        fprintf(stderr, "vendrix_bench_peer: HOST:PORT expected\n");
        return 2;
    }
    memcpy(host, argv[2], (size_t)(colon - argv[2]));
    host[colon - argv[2]] = '\0';
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((unsigned short)atoi(colon + 1));
    if (inet_pton(AF_INET, host, &addr.sin_addr) != 1) {
        fprintf(stderr, "vendrix_bench_peer: %s is not an IPv4 address\n", host);
        return 2;
    }
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, (struct sockaddr *)&addr, sizeof addr) < 0) {
        fprintf(stderr, "vendrix_bench_peer: cannot connect to %s: %s\n", argv[2], strerror(errno));
        return 2;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    static char in[65536];
    static char acks[65536];
    memset(acks, 0x06, sizeof acks);
    long lines = 0;
    struct pollfd readable = {.fd = fd, .events = POLLIN};
    for (;;) {
        if (storing && ppoll(&readable, 1, NULL, NULL) < 0 && errno != EINTR)
            break;
        const ssize_t r = read(fd, in, sizeof in);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        size_t crs = 0;
        for (ssize_t i = 0; i < r; ++i)
            crs += in[i] == '\r';
        lines += (long)crs;
        if (storing && write(out, in, (size_t)r) != r)
            break;
        /* One write answers every line of the arrival. */
        if (crs > 0 && write(fd, acks, crs) < 0)
            break;
    }
    printf("SUMMARY lines=%ld\n", lines);
    return 0;
}
