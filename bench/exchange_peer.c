/* The C floor of bench_exchange.py: a client and a responder of the protocol
 * as a plain C program writes them, with the C library's formatting and
 * parsing, one write() and one read() per frame.
 *
 *   exchange_peer respond FD [changing]
 *                              answers every command read from FD until end
 *                              of file or "STOP\r"; "changing": the first
 *                              word of a read counts the answers
 *   exchange_peer query FD N   reads register DT100 of station 1 N times,
 *                              one read after the other; prints
 *                              "elapsed_s cpu_s" when done
 *
 * The responder checks a command's check code and answers "%SS#RD..." with
 * as many words (0x1234) as the range holds and any other command with its
 * two-letter code and no data.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <poll.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

/* The block check of a frame's text: exclusive-or of its bytes. */
static unsigned bcc(const char *p, size_t n) {
    unsigned char x = 0;
    for (size_t i = 0; i < n; i++) x ^= (unsigned char)p[i];
    return x;
}

/* Whether a frame (CR excluded) ends in the right check code. */
static int check_ok(const char *frame, size_t len) {
    char tail[3] = {0};
    if (len < 3) return 0;
    memcpy(tail, frame + len - 2, 2);
    return strtol(tail, NULL, 16) == (long)bcc(frame, len - 2);
}

/* The answer to one command frame (CR excluded) into out; its length, 0
 * for a frame that gets none. */
static int changing;         /* "respond FD changing": the first word counts the answers */
static unsigned answers;

static size_t answer(const char *cmd, size_t len, char *out, size_t room) {
    if (len < 9 || cmd[0] != '%' || cmd[3] != '#' || !check_ok(cmd, len)) return 0;
    char digits[3] = {cmd[1], cmd[2], 0};
    int station = (int)strtol(digits, NULL, 16);
    int n = snprintf(out, room, "%%%02X$%.2s", station, cmd + 4);
    if (cmd[4] == 'R' && cmd[5] == 'D' && len >= 19) {
        char first[6] = {0}, last[6] = {0};
        memcpy(first, cmd + 7, 5);
        memcpy(last, cmd + 12, 5);
        for (long r = strtol(first, NULL, 10); r <= strtol(last, NULL, 10) && (size_t)n + 8 < room; r++) {
            memcpy(out + n, "3412", 4);
            n += 4;
        }
        if (changing) {
            static const char hex[] = "0123456789ABCDEF";
            unsigned count = ++answers;
            char *word = out + n - 4 * (strtol(last, NULL, 10) - strtol(first, NULL, 10) + 1);
            word[0] = hex[(count >> 4) & 15], word[1] = hex[count & 15];
            word[2] = hex[(count >> 12) & 15], word[3] = hex[(count >> 8) & 15];
        }
    }
    static const char hex[] = "0123456789ABCDEF";
    unsigned check = bcc(out, (size_t)n);
    out[n++] = hex[check >> 4];
    out[n++] = hex[check & 15];
    out[n++] = '\r';
    return (size_t)n;
}

static int respond(int fd) {
    char in[8192], out[4096];
    size_t have = 0;
    for (;;) {
        ssize_t got = read(fd, in + have, sizeof in - have);
        if (got <= 0) return 0;
        have += (size_t)got;
        size_t start = 0;
        for (char *cr; (cr = memchr(in + start, '\r', have - start)) != NULL;) {
            size_t len = (size_t)(cr - (in + start));
            if (len == 4 && memcmp(in + start, "STOP", 4) == 0) return 0;
            size_t n = answer(in + start, len, out, sizeof out);
            if (n && write(fd, out, n) != (ssize_t)n) return 1;
            start += len + 1;
        }
        memmove(in, in + start, have - start);
        have -= start;
        if (have == sizeof in) have = 0;
    }
}

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec * 1e-9;
}

/* One read of a register as a plain C program does it: the command built
 * with its check code, a wait of at most ten seconds for the answer, which is
 * checked (header, check code, station, type, code) and decoded. */
static int read_register(int fd, int station, const char *area, int reg, long *value) {
    static const char hex[] = "0123456789ABCDEF";
    char cmd[64], in[512];
    int n = 0;
    cmd[n++] = '%';
    cmd[n++] = hex[(station >> 4) & 15];
    cmd[n++] = hex[station & 15];
    memcpy(cmd + n, "#RD", 3);
    n += 3;
    cmd[n++] = area[0];
    for (int twice = 0; twice < 2; twice++)
        for (int div = 10000; div; div /= 10) cmd[n++] = (char)('0' + reg / div % 10);
    unsigned check = bcc(cmd, (size_t)n);
    cmd[n++] = hex[check >> 4];
    cmd[n++] = hex[check & 15];
    cmd[n++] = '\r';
    if (write(fd, cmd, (size_t)n) != n) return -1;
    size_t have = 0;
    char *cr = NULL;
    while (!cr) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) return -1;
        ssize_t got = read(fd, in + have, sizeof in - have - 1);
        if (got <= 0) return -1;
        have += (size_t)got;
        cr = memchr(in, '\r', have);
        if (!cr && have == sizeof in - 1) return -1;
    }
    size_t len = (size_t)(cr - in);
    char st[3] = {in[1], in[2], 0};
    if (len < 9 || in[0] != '%' || !check_ok(in, len) || strtol(st, NULL, 16) != station) return -1;
    if (in[3] != '$' || memcmp(in + 4, "RD", 2) != 0 || len != 12) return -1;
    char word[5] = {in[8], in[9], in[6], in[7], 0};
    *value = strtol(word, NULL, 16);
    return 0;
}

static int query(int fd, long count) {
    long value;
    double begin = now();
    for (long i = 0; i < count; i++)
        if (read_register(fd, 1, "D", 100, &value) != 0) return 1;
    double elapsed = now() - begin;
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    double cpu = (double)ru.ru_utime.tv_sec + (double)ru.ru_utime.tv_usec * 1e-6 + (double)ru.ru_stime.tv_sec +
                 (double)ru.ru_stime.tv_usec * 1e-6;
    printf("%.9f %.9f\n", elapsed, cpu);
    return 0;
}

int main(int argc, char **argv) {
    if ((argc == 3 || argc == 4) && strcmp(argv[1], "respond") == 0) {
        changing = argc == 4 && strcmp(argv[3], "changing") == 0;
        return respond(atoi(argv[2]));
    }
    if (argc == 4 && strcmp(argv[1], "query") == 0) return query(atoi(argv[2]), atol(argv[3]));
    fprintf(stderr, "usage: exchange_peer respond FD | query FD N\n");
    return 2;
}
