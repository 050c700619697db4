/* The floor under the host's cost per message: the same framing on the same pipes and nothing
 * else. Every request, whatever it says, gets one fixed reply of REPLY_BYTES bytes, so the
 * pipes carry exactly what they carry for the host.
 *
 *   p11bridge_floor_framing REPLY_BYTES
 */
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int read_fully(void* buffer, size_t n) {
    char* p = buffer;
    while (n > 0) {
        ssize_t got = read(STDIN_FILENO, p, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return 0;
        p += got;
        n -= (size_t)got;
    }
    return 1;
}

static int write_fully(const char* p, size_t n) {
    while (n > 0) {
        ssize_t put = write(STDOUT_FILENO, p, n);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return 0;
        p += put;
        n -= (size_t)put;
    }
    return 1;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s REPLY_BYTES\n", argv[0]);
        return 2;
    }
    uint32_t size = (uint32_t)strtoul(argv[1], NULL, 10);
    char* reply = malloc(sizeof size + size);
    if (!reply) return 1;
    memcpy(reply, &size, sizeof size);
    memset(reply + sizeof size, ' ', size);

    char body[1000];
    uint32_t length;
    while (read_fully(&length, sizeof length) && length > 0 && length <= sizeof body &&
           read_fully(body, length)) {
        if (!write_fully(reply, sizeof size + size)) break;
    }
    free(reply);
    return 0;
}
