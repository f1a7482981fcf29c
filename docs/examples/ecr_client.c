/* A small ECR for the tarvelo scale, in C with POSIX sockets: it sets a weight-mode unit price
 * (record 01), reads the scale data (EOT ENQ, answered by record 02) and, after a refusal,
 * asks the scale why (record 08, answered by record 09). See ecr-protocol.md beside it.
 *   cc -o ecr_client ecr_client.c && ./ecr_client [PIPE_NAME [UNIT_PRICE]]
 * Exit code: 0 scale data read, 1 refused, 2 no scale or no reply in time. */
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#define TIMEOUT_MS 8000 /* the scale's slowest reply takes 6.1 s */
#define STX "\x02"
#define ETX "\x03"
#define EOT "\x04"
#define ENQ "\x05"
#define ESC "\x1b"
enum { ACK = 0x06, NAK = 0x15 };
static int fd;

/* Writes a request and reads its reply: ACK or NAK alone, or a record up to its ETX.
 * Returns the reply's length, or -1 when it did not come whole within the time-out. */
static int exchange(const char* request, size_t n, char* reply, size_t max) {
    struct timespec start, now;
    size_t got = 0;
    clock_gettime(CLOCK_MONOTONIC, &start);
    /* A scale that has gone, or serves another ECR, closes the connection: no SIGPIPE. */
    if (send(fd, request, n, MSG_NOSIGNAL) != (ssize_t)n) return -1;
    while (got < max) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        long left = TIMEOUT_MS - (now.tv_sec - start.tv_sec) * 1000 -
                    (now.tv_nsec - start.tv_nsec) / 1000000;
        struct pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, (int)left) != 1 || read(fd, reply + got, 1) != 1) return -1;
        char c = reply[got++];
        if ((got == 1 && (c == ACK || c == NAK)) || c == ETX[0]) return (int)got;
    }
    return -1;
}

/* The scale's rule: a directory of this user's, closed to others (no impostor there). */
static int is_private(const char* dir) {
    struct stat st;
    return lstat(dir, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
           (st.st_mode & 077) == 0;
}

/* After a NAK: record 08 tells why, as two status characters. */
static void report_refusal(const char* what) {
    char r[16];
    if (exchange(EOT STX "08" ETX, 5, r, sizeof r) == 7 && memcmp(r, STX "09" ESC, 4) == 0)
        printf("%s refused: status %c %c\n", what, r[4], r[5]);
    else
        printf("%s refused\n", what);
}

int main(int argc, char** argv) {
    const char *name = argc > 1 ? argv[1] : "kv2170", *dir = getenv("XDG_RUNTIME_DIR");
    long price = argc > 2 ? strtol(argv[2], NULL, 10) : 150;
    struct sockaddr_un a = {.sun_family = AF_UNIX};
    char request[16], r[32], fallback[32];
    if (price < 0 || price > 999999) return fprintf(stderr, "unit price 0 to 999999\n"), 2;
    snprintf(fallback, sizeof fallback, "/tmp/tarvelo-%u", (unsigned)geteuid());
    if (!(dir && dir[0] == '/' && is_private(dir))) { /* then the scale uses its private one */
        if (dir && dir[0] == '/') fprintf(stderr, "%s passed over: not private\n", dir);
        if (!is_private(dir = fallback)) return fprintf(stderr, "%s: not private\n", dir), 2;
    }
    snprintf(a.sun_path, sizeof a.sun_path, "%s/%s", dir, name);
    fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, (struct sockaddr*)&a, sizeof a) != 0) return perror(a.sun_path), 2;

    snprintf(request, sizeof request, EOT STX "01" ESC "%06ld" ESC ETX, price);
    int n = exchange(request, 13, r, sizeof r);
    if (n == 1 && r[0] == ACK)
        printf("unit price %ld accepted\n", price);
    else if (n == 1 && r[0] == NAK)
        report_refusal("unit price");
    else
        return fprintf(stderr, "no reply, or not ACK or NAK (a CS/KW request?)\n"), 2;

    n = exchange(EOT ENQ, 2, r, sizeof r);
    if (n == 26 && memcmp(r, STX "02" ESC "3" ESC, 6) == 0) { /* weight, unit price, total */
        printf("weight %d g, unit price %d, total price %d\n", atoi(r + 6), atoi(r + 12),
               atoi(r + 19));
        return 0;
    }
    if (n == 1 && r[0] == NAK) return report_refusal("scale data"), 1;
    return fprintf(stderr, "no reply, or no record 02\n"), 2;
}
