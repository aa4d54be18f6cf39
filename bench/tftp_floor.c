/* The floor of the TFTP benchmark: the least a lock-step write client can do. One receive
 * with a kernel time-out and one send per block, the file mapped once, no checks beyond
 * what keeps the transfer right (the ACK of the block just sent moves on, anything else
 * sends it again). A reference to measure against, not a tool.
 * usage: ftpupg-tftp-floor IP PORT BLKSIZE FILE REMOTE */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

/* The file mapped whole; NULL with *size 0 for an empty one. Ends the program on failure. */
static const unsigned char* MapFile(const char* path, size_t* size)
{
    const int fd = open(path, O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        perror(path);
        exit(1);
    }
    *size = (size_t)st.st_size;
    const unsigned char* data = *size ? mmap(NULL, *size, PROT_READ, MAP_PRIVATE, fd, 0) : NULL;
    if (*size && data == MAP_FAILED) {
        perror("mmap");
        exit(1);
    }
    return data;
}

/* A socket with the receive time-out, and the server's request address in *peer. */
static int OpenSocket(const char* ip, const char* port, struct sockaddr_in* peer)
{
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    const struct timeval tv = {4, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    memset(peer, 0, sizeof *peer);
    peer->sin_family = AF_INET;
    peer->sin_port = htons((unsigned short)atoi(port));
    inet_pton(AF_INET, ip, &peer->sin_addr);
    return s;
}

int main(int argc, char** argv)
{
    if (argc != 6) {
        fprintf(stderr, "usage: ftpupg-tftp-floor IP PORT BLKSIZE FILE REMOTE\n");
        return 2;
    }
    const long asked = strtol(argv[3], NULL, 10);
    size_t size = 0;
    const unsigned char* data = MapFile(argv[4], &size);
    struct sockaddr_in peer;
    const int s = OpenSocket(argv[1], argv[2], &peer);

    static unsigned char out[65468], in[65468];
    int n = snprintf((char*)out + 2, sizeof out - 2, "%s%coctet%cblksize%c%ld", argv[5], 0, 0, 0, asked);
    out[0] = 0;
    out[1] = 2;
    sendto(s, out, (size_t)n + 3, 0, (struct sockaddr*)&peer, sizeof peer);

    size_t blksize = 512, offset = 0, length = 0;
    unsigned block = 0;
    int started = 0, last = 0;
    for (;;) {
        socklen_t len = sizeof peer;
        const ssize_t r = recvfrom(s, in, sizeof in, 0, (struct sockaddr*)&peer, &len);
        if (r < 0) {
            if (last) return 0;
            fprintf(stderr, "time-out\n");
            return 3;
        }
        const unsigned op = r >= 2 ? (unsigned)(in[0] << 8 | in[1]) : 0;
        const unsigned number = r >= 4 ? (unsigned)(in[2] << 8 | in[3]) : 0;
        int next = 0;
        if (op == 5) {
            fprintf(stderr, "error %u: %.*s\n", number, (int)(r > 4 ? r - 4 : 0), in + 4);
            return 3;
        }
        if (!started) {
            if (op == 6 && r > 10 && strncasecmp((char*)in + 2, "blksize", 8) == 0)
                blksize = (size_t)atol((char*)in + 10);
            block = op == 4 && r >= 4 ? number : 0;
            started = next = 1;
        } else if (op == 4 && r >= 4 && number == block) {
            if (last) return 0;
            next = 1;
        }
        if (next) {
            block = (block + 1) & 0xFFFF;
            offset += length;
            length = size - offset < blksize ? size - offset : blksize;
            last = length < blksize;
            out[0] = 0;
            out[1] = 3;
            out[2] = (unsigned char)(block >> 8);
            out[3] = (unsigned char)block;
            memcpy(out + 4, data + offset, length);
        }
        sendto(s, out, length + 4, 0, (struct sockaddr*)&peer, sizeof peer);
    }
}
