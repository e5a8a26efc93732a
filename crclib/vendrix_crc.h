/* CRC-32 and small file utilities of libVendrix.so.
 *
 * Plain C linkage and undecorated names, so any program can bind them by
 * name at run time. Texts are NUL-terminated single-byte strings. The CRC
 * register is held by the caller and passed by value; nothing is allocated
 * on one side and freed on the other. */
#ifndef VENDRIX_CRC_H
#define VENDRIX_CRC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VENDRIX_EXPORT __attribute__((visibility("default")))

/* The initial register, 0xFFFFFFFF. */
VENDRIX_EXPORT uint32_t BeginCrc32(void);
/* Feeds the bytes of text up to its NUL; an absent text changes nothing. */
VENDRIX_EXPORT uint32_t Crc32(const char *text, uint32_t reg);
/* Returns the finished CRC (all bits of reg inverted). When *out is not
 * NULL, writes it there as 8 upper-case hex digits and a NUL (9 bytes). */
VENDRIX_EXPORT uint32_t EndCrc32(uint32_t reg, char **out);

/* Result codes of get_line. */
enum {
    GETLINE_OK = 0,         /* line n is in the buffer */
    GETLINE_NO_FILE = 1,    /* no path, or the file cannot be opened */
    GETLINE_SHORT_FILE = 2, /* fewer than n lines; also n <= 0 ("tromz") */
    GETLINE_READ_ERROR = 3, /* a read failed for another reason */
    GETLINE_NO_ROOM = 4     /* no buffer, size < 1, or a line did not fit */
};

/* Reads line n (first line is 1) of a text file into the caller's buffer
 * *out of size bytes, line feed included. CR LF is delivered as LF. */
VENDRIX_EXPORT int32_t get_line(const char *path, int32_t n, char **out, int32_t size);
/* Appends prefix (may be NULL or empty) and the low 8 bits of byte to the
 * file. 1 when the byte was written, 0 otherwise. */
VENDRIX_EXPORT int32_t BinWrite(const char *path, const char *prefix, int32_t byte);

#ifdef __cplusplus
}
#endif

#endif
