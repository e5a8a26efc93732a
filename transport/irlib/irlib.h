/* The infrared link library: one link at a time over the device that ComN
 * names, raw, at a chosen speed. C linkage, plain names. */
#ifndef VENDRIX_IRLIB_H
#define VENDRIX_IRLIB_H

#ifdef __cplusplus
extern "C" {
#endif

#define IRLIB_EXPORT __attribute__((visibility("default")))

/* The most vbReadIrCom places in its buffer. */
#define IRLIB_READ_MAX 250

/* Opens the device of ComN (port 1..9) raw at speed bits per second, closing
 * any link open before. Above 0 when the link is open, 0 when not. */
IRLIB_EXPORT int vbOpenIrCom(int port, int speed);

/* Writes every byte of the NUL-terminated text; the count written, or -1
 * when no link is open or the device fails. */
IRLIB_EXPORT int WriteIrCom(const char *text);

/* Places what arrived since the previous call (at most IRLIB_READ_MAX bytes)
 * at the start of buffer and returns its count; 0 when nothing arrived or no
 * link is open. Never waits, never writes past the count. */
IRLIB_EXPORT int vbReadIrCom(char *buffer);

/* Closes the link; harmless when none is open. */
IRLIB_EXPORT void CloseIrCom(void);

#ifdef __cplusplus
}
#endif

#endif
