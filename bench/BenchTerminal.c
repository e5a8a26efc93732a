/*
 * The benchmark terminal: sends a transfer stop-and-wait over TCP and times
 * every answer. Plain C with blocking calls and no event loop, so that what
 * it spends on a record (one write, one read) is far below what it measures.
 *
 *   vendrix_bench_terminal --records N [--length L] [--timeout-ms T]
 *
 * It listens on 127.0.0.1 (a free port), prints "PORT p", accepts one
 * connection and prints "CONNECTED", then waits for a line on its standard
 * input (the driver's go-ahead, once the collector is ready). It sends "BOF",
 * N records of L characters (the same records as the simulated terminal:
 * an eight-digit number, then letters) each followed by its two check
 * characters, and "EOF"; every line is followed by CR and waits for ACK or
 * NAK. A NAK is counted and the next line follows; no answer within the
 * time-out ends the transfer. At the end it prints one line:
 *
 *   TRANSFER records=N acked=A naked=K timeouts=T seconds=S median_ns=M p99_ns=P complete=0|1
 *
 * "seconds" runs from the first character of "BOF" to the answer to "EOF";
 * "acked" and the latencies (write of the record to its ACK) count records
 * only. Exit code 0 when every line was acknowledged.
 *
 *   vendrix_bench_terminal --lookup J --out DIR [--timeout-ms T]
 *
 * asks for look-up file J instead ("GETFILE" J + CR) and takes it as a
 * terminal does over TCP: ACK + CR to "BOF", to every line whose check
 * characters are right (NAK + CR otherwise) and to "EOF". The accepted lines (without their check
 * characters) go to DIR/lines.txt, one per line, and the time each arrived
 * (nanoseconds, "BOF" first) to DIR/times.txt; at the end it prints
 *
 *   LOOKUP lines=N bad=K complete=0|1
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

enum { kAck = 0x06, kNak = 0x15, kCr = '\r' };

static int64_t now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void die(const char *what)
{
    fprintf(stderr, "vendrix_bench_terminal: %s: %s\n", what, strerror(errno));
    exit(2);
}

static int write_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

/* The answer to the line just sent: 1 ACK, 0 NAK, -1 time-out or lost
 * connection. Other characters (a CR after the answer) are skipped. */
static int read_answer(int fd)
{
    char buf[64];
    for (;;) {
        const ssize_t r = read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return -1;
        for (ssize_t i = 0; i < r; ++i) {
            if (buf[i] == kAck)
                return 1;
            if (buf[i] == kNak)
                return 0;
        }
    }
}

static int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

/* A line's last two characters are the XOR of the others in hex. */
static int check_ok(const char *line, size_t n)
{
    if (n < 3)
        return 0;
    unsigned char x = 0;
    for (size_t k = 0; k + 2 < n; ++k)
        x ^= (unsigned char)line[k];
    return hex_value(line[n - 2]) == (x >> 4) && hex_value(line[n - 1]) == (x & 15);
}

/* Takes look-up file j over fd (see the top of the file). */
static int take_lookup(int fd, int j, const char *dir)
{
    char path[4096];
    snprintf(path, sizeof path, "%s/lines.txt", dir);
    FILE *lines_out = fopen(path, "w");
    snprintf(path, sizeof path, "%s/times.txt", dir);
    FILE *times_out = fopen(path, "w");
    if (!lines_out || !times_out)
        die("cannot write the look-up results");
    size_t cap = 1 << 20, nt = 0;
    int64_t *times = malloc(sizeof(int64_t) * cap);
    size_t text_cap = 16 << 20, text_len = 0;
    char *text = malloc(text_cap);
    if (!times || !text)
        die("memory");
    char request[32];
    const int rn = snprintf(request, sizeof request, "GETFILE%d\r", j);
    if (write_all(fd, request, (size_t)rn) < 0)
        die("write");
    enum { AwaitBof, Lines, Done } state = AwaitBof;
    char line[8192];
    size_t len = 0;
    long bad = 0, accepted = 0;
    char buf[65536];
    while (state != Done) {
        const ssize_t r = read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        for (ssize_t i = 0; i < r && state != Done; ++i) {
            const char c = buf[i];
            /* LF is dropped; an ACK or NAK of the collector (its "BOF"
             * comes behind one) is a token of its own, not a line's. */
            if (c == '\n' || c == kAck || c == kNak)
                continue;
            if (c != kCr) {
                if (len < sizeof line)
                    line[len++] = c;
                continue;
            }
            const int64_t at = now_ns();
            /* Over TCP an answer is a line of its own: the character and CR. */
            const char ack[2] = {kAck, kCr}, nak[2] = {kNak, kCr};
            if (state == AwaitBof) {
                if (len == 3 && !memcmp(line, "BOF", 3)) {
                    state = Lines;
                    times[nt++] = at;
                    write_all(fd, ack, 2);
                }
            } else if (len == 3 && !memcmp(line, "EOF", 3)) {
                state = Done;
                write_all(fd, ack, 2);
            } else if (check_ok(line, len)) {
                if (nt == cap) {
                    cap *= 2;
                    times = realloc(times, sizeof(int64_t) * cap);
                }
                if (text_len + len + 1 > text_cap) {
                    text_cap *= 2;
                    text = realloc(text, text_cap);
                }
                if (!times || !text)
                    die("memory");
                times[nt++] = at;
                memcpy(text + text_len, line, len - 2);
                text_len += len - 2;
                text[text_len++] = '\n';
                ++accepted;
                write_all(fd, ack, 2);
            } else {
                ++bad;
                write_all(fd, nak, 2);
            }
            len = 0;
        }
    }
    fwrite(text, 1, text_len, lines_out);
    for (size_t k = 0; k < nt; ++k)
        fprintf(times_out, "%lld\n", (long long)times[k]);
    fclose(lines_out);
    fclose(times_out);
    free(times);
    free(text);
    printf("LOOKUP lines=%ld bad=%ld complete=%d\n", accepted, bad, state == Done);
    fflush(stdout);
    return state == Done ? 0 : 1;
}

static int cmp_i64(const void *a, const void *b)
{
    const int64_t x = *(const int64_t *)a, y = *(const int64_t *)b;
    return x < y ? -1 : x > y;
}

/* Nearest rank: the smallest value with at least p % of the values at or
 * below it (sorted input). */
static int64_t percentile(const int64_t *v, size_t n, unsigned pct)
{
    if (n == 0)
        return 0;
    size_t rank = (pct * n + 99) / 100;
    if (rank < 1)
        rank = 1;
    if (rank > n)
        rank = n;
    return v[rank - 1];
}

/* Record i (from 1): the number on eight digits, then letters from the
 * alphabet starting at i mod 26, up to length characters; then the two
 * check characters (XOR of the text, two upper-case hex digits) and CR. */
static size_t make_record(char *out, int i, int length)
{
    static const char kFiller[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    static const char kHex[] = "0123456789ABCDEF";
    int n = snprintf(out, 32, "%08d", i);
    for (int k = 0; n < length; ++k)
        out[n++] = kFiller[(i % 26 + k) % 26];
    unsigned char x = 0;
    for (int k = 0; k < n; ++k)
        x ^= (unsigned char)out[k];
    out[n++] = kHex[x >> 4];
    out[n++] = kHex[x & 15];
    out[n++] = kCr;
    return (size_t)n;
}

int main(int argc, char **argv)
{
    long records = 20000;
    int length = 50;
    int timeout_ms = 10000;
    int lookup = 0;
    const char *out_dir = NULL;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--records") && i + 1 < argc)
            records = atol(argv[++i]);
        else if (!strcmp(argv[i], "--length") && i + 1 < argc)
            length = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--timeout-ms") && i + 1 < argc)
            timeout_ms = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--lookup") && i + 1 < argc)
            lookup = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--out") && i + 1 < argc)
            out_dir = argv[++i];
        else {
            fprintf(stderr,
                    "usage: vendrix_bench_terminal --records N [--length L] [--timeout-ms T]\n"
                    "       vendrix_bench_terminal --lookup J --out DIR [--timeout-ms T]\n");
            return 2;
        }
    }
    if (records < 0 || length < 8 || length > 4000 || timeout_ms <= 0 || (lookup != 0 && !out_dir)) {
        fprintf(stderr, "vendrix_bench_terminal: bad arguments\n");
        return 2;
    }

    /* Every line prepared beforehand: the timed loop only writes and reads. */
    const size_t lineMax = (size_t)length + 40;
    char *lines = malloc(lineMax * (size_t)(records + 2));
    size_t *offset = malloc(sizeof(size_t) * (size_t)(records + 3));
    int64_t *latency = malloc(sizeof(int64_t) * (size_t)(records + 1));
    if (!lines || !offset || !latency)
        die("memory");
    size_t at = 0;
    offset[0] = 0;
    memcpy(lines, "BOF\r", 4);
    at = 4;
    for (long i = 1; i <= records; ++i) {
        offset[i] = at;
        at += make_record(lines + at, (int)i, length);
    }
    offset[records + 1] = at;
    memcpy(lines + at, "EOF\r", 4);
    at += 4;
    offset[records + 2] = at;

    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0)
        die("socket");
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, (struct sockaddr *)&addr, sizeof addr) < 0 || listen(listener, 1) < 0)
        die("listen on 127.0.0.1");
    socklen_t len = sizeof addr;
    if (getsockname(listener, (struct sockaddr *)&addr, &len) < 0)
        die("getsockname");
    printf("PORT %d\n", ntohs(addr.sin_port));
    fflush(stdout);

    struct pollfd pfd = {listener, POLLIN, 0};
    if (poll(&pfd, 1, 60000) <= 0) {
        fprintf(stderr, "vendrix_bench_terminal: nobody connected within 60 s\n");
        return 2;
    }
    const int fd = accept(listener, NULL, NULL);
    if (fd < 0)
        die("accept");
    close(listener);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    /* The answer time-out without a poll per line. */
    struct timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    printf("CONNECTED\n");
    fflush(stdout);

    char go[64];
    if (!fgets(go, sizeof go, stdin))
        return 2;
    /* Whatever the peer said before the transfer is not an answer. */
    char junk[256];
    while (recv(fd, junk, sizeof junk, MSG_DONTWAIT) > 0) {
    }
    if (lookup != 0) {
        const int rc = take_lookup(fd, lookup, out_dir);
        close(fd);
        free(lines);
        free(offset);
        free(latency);
        return rc;
    }

    long acked = 0, naked = 0, timeouts = 0;
    size_t nlat = 0;
    int complete = 1;
    const int64_t start = now_ns();
    for (long k = 0; k <= records + 1; ++k) {
        const int64_t sent = now_ns();
        if (write_all(fd, lines + offset[k], offset[k + 1] - offset[k]) < 0) {
            complete = 0;
            break;
        }
        const int answer = read_answer(fd);
        const int64_t got = now_ns();
        if (answer < 0) {
            ++timeouts;
            complete = 0;
            break;
        }
        if (answer == 0) {
            complete = 0;
            if (k >= 1 && k <= records)
                ++naked;
            continue;
        }
        if (k >= 1 && k <= records) {
            ++acked;
            latency[nlat++] = got - sent;
        }
    }
    const int64_t end = now_ns();
    qsort(latency, nlat, sizeof *latency, cmp_i64);
    printf(
        "TRANSFER records=%ld acked=%ld naked=%ld timeouts=%ld seconds=%.6f median_ns=%lld p99_ns=%lld "
        "complete=%d\n",
        records, acked, naked, timeouts, (double)(end - start) / 1e9, (long long)percentile(latency, nlat, 50),
        (long long)percentile(latency, nlat, 99), complete);
    fflush(stdout);
    close(fd);
    free(lines);
    free(offset);
    free(latency);
    return complete ? 0 : 1;
}
