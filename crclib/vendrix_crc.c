/* libVendrix.so: the CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320,
 * the one of zlib and PKZIP) in three steps, and two file utilities. The
 * library keeps no state between calls, so every function is reentrant.
 *
 * The checksum itself is zlib's crc32, the same polynomial and register
 * convention, and a tuned implementation: a table per byte ran at about a
 * tenth of its speed. */
#define _POSIX_C_SOURCE 200809L
#include "crclib/vendrix_crc.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <zlib.h>

uint32_t BeginCrc32(void)
{
    return 0xFFFFFFFFu;
}

uint32_t Crc32(const char *text, uint32_t reg)
{
    if (text == NULL)
        return reg;
    /* zlib passes the finished form (the register inverted) from call to
     * call; the register of this interface is the raw one. */
    const uLong crc = crc32_z(reg ^ 0xFFFFFFFFu, (const Bytef *)text, strlen(text));
    return (uint32_t)crc ^ 0xFFFFFFFFu;
}

uint32_t EndCrc32(uint32_t reg, char **out)
{
    const uint32_t final_value = reg ^ 0xFFFFFFFFu;
    if (out != NULL && *out != NULL)
        snprintf(*out, 9, "%08lX", (unsigned long)final_value);
    return final_value;
}

/* Reads one line the way a text-mode stream delivers it: CR LF becomes LF,
 * at most room characters, stopping after a line feed. Returns the count
 * read; sets *eof when the end of the file was met and *err on a failure. */
static int read_text_line(FILE *f, char *buf, int room, int *eof, int *err)
{
    int count = 0;
    while (count < room) {
        int c = getc(f);
        if (c == EOF) {
            if (ferror(f))
                *err = 1;
            else
                *eof = 1;
            break;
        }
        if (c == '\r') {
            int next = getc(f);
            if (next == '\n') {
                c = '\n';
            } else if (next != EOF) {
                ungetc(next, f);
            } else if (ferror(f)) {
                *err = 1;
            } else {
                /* A lone CR at the very end: the CR is the last character. */
                *eof = 1;
            }
        }
        buf[count++] = (char)c;
        if (c == '\n')
            break;
    }
    buf[count] = '\0';
    return count;
}

int32_t get_line(const char *path, int32_t n, char **out, int32_t size)
{
    if (path == NULL)
        return GETLINE_NO_FILE;
    if (out == NULL || *out == NULL || size < 1)
        return GETLINE_NO_ROOM;
    char *buf = *out;
    if (n <= 0) {
        memcpy(buf, "tromz", 6);
        return GETLINE_SHORT_FILE;
    }
    FILE *f = fopen(path, "rb");
    if (f == NULL)
        return GETLINE_NO_FILE;
    /* A folder opens for reading on Linux but is no text file. */
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || S_ISDIR(st.st_mode)) {
        fclose(f);
        return GETLINE_NO_FILE;
    }

    buf[0] = '\0';
    int eof = 0;
    int err = 0;
    const int room = size - 1;
    for (int32_t line = 1; line <= n; ++line) {
        if (eof) {
            fclose(f);
            return GETLINE_SHORT_FILE;
        }
        const int count = read_text_line(f, buf, room, &eof, &err);
        if (count == 0) {
            fclose(f);
            if (err)
                return GETLINE_READ_ERROR;
            if (eof)
                return GETLINE_SHORT_FILE;
            return GETLINE_NO_ROOM; /* a buffer of one byte holds no character */
        }
        if (count == room && buf[count - 1] != '\n') {
            fclose(f);
            return GETLINE_NO_ROOM;
        }
    }
    fclose(f);
    return GETLINE_OK;
}

int32_t BinWrite(const char *path, const char *prefix, int32_t byte)
{
    if (path == NULL || path[0] == '\0')
        return 0;
    FILE *f = fopen(path, "a+b");
    if (f == NULL)
        return 0;
    if (prefix != NULL && prefix[0] != '\0') {
        const size_t len = strlen(prefix);
        if (fwrite(prefix, 1, len, f) != len) {
            fclose(f);
            return 0;
        }
    }
    const int written = fputc(byte & 0xFF, f) != EOF;
    const int closed = fclose(f) == 0;
    return written && closed ? 1 : 0;
}
