/* The compressed stream decoder and its buffered reader and writer.
 *
 * A stream has no header, no end marker and no check value: the entry record
 * gives the number of bytes it expands to (expectedTotal) and the number of
 * stored bytes it may take (remaining). See expand/decoder.cpp for the format.
 *
 * All state (model, ring, bit input, reader, writer) exists once, at module
 * level; nothing here is reentrant.
 */
#ifndef EXPAND_DECODER_H
#define EXPAND_DECODER_H

#include <stdint.h>

#include "expand/model.h"

/* The file of a source or target held in memory. */
const int NO_FILE = -1;

/* Where stored bytes come from: with read set, the open file `file` (the
 * installer's handle, read by its platform's call: the decoder itself needs
 * no platform); otherwise the size bytes at bytes (offset counts what has
 * been taken). read returns the bytes it read: 0 at the end, more than asked
 * (HFILE_ERROR) on failure. */
struct ExpandSource {
    int file;
    const unsigned char* bytes;
    uint32_t size;
    uint32_t offset;
    /* Nonzero: stop at the end of the block in which the symbols run past
     * the stored bytes (EXPAND_FAULT_OVERRUN) instead of decoding zero bits
     * up to expectedTotal. */
    int stopAtOverrun;
    uint32_t (*read)(int file, unsigned char* buffer, uint32_t count);
};

/* Where decoded bytes go: with write set, the open file `file`; otherwise at
 * most size bytes at bytes (offset counts what has been put). write returns
 * the bytes the file took (more than given: a failure) and is never called
 * with a count of 0. */
struct ExpandTarget {
    int file;
    unsigned char* bytes;
    uint32_t size;
    uint32_t offset;
    /* When set, called after every block the target took (the installer
     * serves its dialog's message queue there). */
    void (*afterBlock)(void);
    uint32_t (*write)(int file, const unsigned char* data, uint32_t count);
};

/* Faults of the last stream, as bits (see ExpandFaults). */
enum {
    EXPAND_FAULT_WRITE = 1, /* the target took fewer bytes than a block: decoding stopped there */
    EXPAND_FAULT_SHORT = 2, /* the source ended before stored bytes the stream used */
    EXPAND_FAULT_OVERRUN = 4 /* the symbols ran past the stored bytes and the source asked to stop */
};

/* Serves the next stored byte, reading the source in requests of
 * min(remaining, IO_BLOCK) bytes whenever the buffer is empty. Once the
 * source comes up short it is not read again and every further byte is 0.
 * ReadPtr(NULL, 0) only resets the reader and returns 0. */
int ReadPtr(ExpandSource* in, uint32_t remaining);

/* Hands one decoded byte to the writer; total is the stream's size. The
 * target receives blocks of IO_BLOCK bytes, and the block that completes
 * total as soon as its last byte arrives; bytes beyond total never reach
 * it. A block the target takes only in part is a write fault: the writer
 * takes nothing more until reset. WritePtr(NULL, 0, 0) only resets it. */
void WritePtr(ExpandTarget* out, int byte, int32_t total);

/* Decodes one stream from in (positioned at its first stored byte) to out:
 * exactly expectedTotal bytes reach the target. Takes at most *remaining
 * stored bytes and decreases *remaining by the bytes taken (the bytes the
 * stream's bits reach into and one byte of look-ahead); past them the input
 * is zero bits. Returns the number of bytes decoded: at least expectedTotal,
 * as the last match may run up to 29 bytes beyond it; less only after a
 * write fault. Returns 0 at once, touching nothing, when expectedTotal is 0
 * or negative. The caller resets the reader and the writer first; bytes the
 * writer still held are dropped. */
int32_t ExpandStream(ExpandSource* in, ExpandTarget* out, int32_t expectedTotal, uint32_t* remaining);

/* EXPAND_FAULT_* bits of the last ExpandStream (0 when all went well). */
unsigned ExpandFaults(void);

/* The number of input bits the symbols of the last ExpandStream used; more
 * than 8 * remaining means the stream ran past its stored bytes. */
uint64_t ExpandBitsUsed(void);

#endif
