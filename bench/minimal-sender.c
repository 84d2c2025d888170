/* minimal-sender: the plainest blocking stop-and-wait XMODEM-CRC sender, the yardstick of
 * bench/line-efficiency.sh. It opens DEVICE raw at 115200 baud (8N1, no flow control), waits
 * for the receiver's 'C', sends FILE as 133-byte packets (SOH, block number, complement, 128
 * bytes padded with 0x00, CRC-16/MODBUS low byte first), waits for each answer with a blocking
 * one-byte read and sends the packet again on NAK, then sends EOT until it is acknowledged.
 * No threads, no events, no timers: the least a sender can do per block.
 *
 * Usage: minimal-sender DEVICE FILE     exit 0 when every block and the EOT were acknowledged
 */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

enum { SOH = 0x01, EOT = 0x04, ACK = 0x06, NAK = 0x15, MAX_TRIES = 10 };

static uint16_t ModbusCrc(const uint8_t* p, size_t n) {
    uint16_t crc = 0xFFFF;
    while (n-- > 0) {
        crc ^= *p++;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? (uint16_t)((crc >> 1) ^ 0xA001) : (uint16_t)(crc >> 1);
        }
    }
    return crc;
}

/* The next byte from the line, or -1 when the line is gone. */
static int ReadByte(int fd) {
    uint8_t c;
    return read(fd, &c, 1) == 1 ? c : -1;
}

static int WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t k = write(fd, p, n);
        if (k <= 0) {
            return -1;
        }
        p += k;
        n -= (size_t)k;
    }
    return 0;
}

/* Sends n bytes and returns the answer (ACK, NAK or anything else), resending on NAK. */
static int SendAndWait(int fd, const uint8_t* p, size_t n) {
    for (int tries = 0; tries < MAX_TRIES; ++tries) {
        if (WriteAll(fd, p, n) != 0) {
            return -1;
        }
        int c;
        while ((c = ReadByte(fd)) == 'C') {
        }
        if (c != NAK) {
            return c;
        }
    }
    return NAK;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: minimal-sender DEVICE FILE\n");
        return 2;
    }
    FILE* file = fopen(argv[2], "rb");
    if (file == NULL) {
        perror(argv[2]);
        return 1;
    }
    size_t capacity = 1 << 20, length = 0;
    uint8_t* data = malloc(capacity);
    size_t got;
    while (data != NULL && (got = fread(data + length, 1, capacity - length, file)) > 0) {
        length += got;
        if (length == capacity) {
            capacity *= 2;
            data = realloc(data, capacity);
        }
    }
    fclose(file);
    const int fd = open(argv[1], O_RDWR | O_NOCTTY);
    struct termios tio;
    if (data == NULL || fd < 0 || tcgetattr(fd, &tio) != 0) {
        perror(argv[1]);
        return 1;
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~(tcflag_t)(CSTOPB | PARENB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetspeed(&tio, B115200);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        perror("tcsetattr");
        return 1;
    }

    int c;
    while ((c = ReadByte(fd)) != 'C') {
        if (c < 0) {
            fprintf(stderr, "minimal-sender: the line closed before the request\n");
            return 1;
        }
    }
    uint8_t packet[133];
    uint8_t block = 1;
    for (size_t at = 0; at < length; at += 128, ++block) {
        const size_t n = length - at < 128 ? length - at : 128;
        packet[0] = SOH;
        packet[1] = block;
        packet[2] = (uint8_t)~block;
        memset(packet + 3, 0, 128);
        memcpy(packet + 3, data + at, n);
        const uint16_t crc = ModbusCrc(packet + 3, 128);
        packet[131] = (uint8_t)(crc & 0xFF);
        packet[132] = (uint8_t)(crc >> 8);
        if (SendAndWait(fd, packet, sizeof packet) != ACK) {
            fprintf(stderr, "minimal-sender: block %zu not acknowledged\n", at / 128 + 1);
            return 1;
        }
    }
    const uint8_t eot = EOT;
    if (SendAndWait(fd, &eot, 1) != ACK) {
        fprintf(stderr, "minimal-sender: EOT not acknowledged\n");
        return 1;
    }
    free(data);
    close(fd);
    return 0;
}
