/* The compressed stream decoder.
 *
 * A stream has no header, no end marker and no check value: the entry record
 * gives the number of bytes it expands to (expectedTotal) and the number of
 * stored bytes it may take (remaining). See expand/decoder.cpp for the format.
 *
 * All state (model, ring, bit input, the buffered reader and writer) exists
 * once, at module level; nothing here is reentrant. The stored bytes come
 * from the caller's read call and the decoded bytes go to its write call,
 * each given the caller's own pointer (its file, its buffer), so the decoder
 * needs no platform.
 */
#ifndef EXPAND_DECODER_H
#define EXPAND_DECODER_H

#include <stdint.h>

#include "expand/model.h"

/* Puts up to count of the stream's next stored bytes from source into
 * buffer. Returns how many: fewer at the end of the file, 0 there; a value
 * above count is a failure (HFILE_ERROR) and counts as 0. */
typedef uint32_t (*ExpandReadCall)(void* source, unsigned char* buffer, uint32_t count);

/* Hands count decoded bytes (never 0) to target. Returns how many it took:
 * fewer, or a value above count (a failure), is a write fault. */
typedef uint32_t (*ExpandWriteCall)(void* target, const unsigned char* data, uint32_t count);

/* What ExpandStream does once the symbols run past the stored bytes. */
enum ExpandOverrun {
    EXPAND_ZERO_BITS = 0,       /* decode zero bits up to expectedTotal */
    EXPAND_STOP_AT_OVERRUN = 1  /* stop at the end of the block in which they do (EXPAND_FAULT_OVERRUN) */
};

/* Faults of the last stream, as bits (see ExpandFaults). */
enum {
    EXPAND_FAULT_WRITE = 1, /* the target took fewer bytes than a block: decoding stopped there */
    EXPAND_FAULT_SHORT = 2, /* the source ended before stored bytes the stream used */
    EXPAND_FAULT_OVERRUN = 4 /* the symbols ran past the stored bytes, and the call asked to stop */
};

/* Decodes one stream from source (positioned at its first stored byte) to
 * target: exactly expectedTotal bytes reach the target, in blocks of
 * IO_BLOCK bytes, the block that completes the total as soon as its last
 * byte is decoded. The source is read in requests of min(stored bytes left,
 * IO_BLOCK), the next one only when a symbol reaches into it; once it comes
 * up short it is not read again, and a null read is a source with nothing
 * in it. Takes at most *remaining stored bytes and decreases *remaining by
 * the bytes taken (the bytes the stream's bits reach into and one byte of
 * look-ahead); past them the input is zero bits. Returns the number of
 * bytes decoded: at least expectedTotal, as the last match may run up to 29
 * bytes beyond it; less after a write fault (no more is written) or an
 * overrun stop.
 *
 * Each call starts afresh (reader, writer, bit input, faults) and, for a
 * positive expectedTotal, with a new model, spaces at ring positions
 * 0..4065 and writing at 4066; positions 4066..4095 keep the previous
 * stream's bytes (zeros before the first), which this stream's matches may
 * read. An expectedTotal of 0 or less returns 0 at once: nothing is read or
 * written, and the model and the ring stay as they were. */
int32_t ExpandStream(ExpandReadCall read, void* source, ExpandWriteCall write, void* target, int32_t expectedTotal,
                     uint32_t* remaining, ExpandOverrun overrun);

/* EXPAND_FAULT_* bits of the last ExpandStream (0 when all went well). */
unsigned ExpandFaults(void);

/* The number of input bits the symbols of the last ExpandStream used; more
 * than 8 * remaining means the stream ran past its stored bytes. */
uint64_t ExpandBitsUsed(void);

#endif
