/* The compressed stream decoder.
 *
 * Format. LZSS over a 4096-byte ring, with literals and match lengths coded
 * by one adaptive Huffman tree (expand/model.h) and match positions by a
 * fixed prefix code. Bits are read most significant first. Each symbol is
 * either a byte (0..255) or a match of length symbol - 253 (3..30) followed
 * by its position p; the match copies, byte by byte, from p + 1 bytes back,
 * so it may repeat its own output. At the start of every stream the ring
 * holds spaces at positions 0..4065 and writing starts at 4066; positions
 * 4066..4095 keep whatever the previous stream left there (zeros before the
 * first) until this stream overwrites them. The decoder stops after the
 * symbol that reaches expectedTotal.
 *
 * How it runs. The ring is kept as a straight window: the writer's buffer
 * is preceded by the last 4096 bytes decoded, so a match is a plain forward
 * copy, done in chunks when it does not overlap itself, and the ring proper
 * is written back only when the stream ends. Bits come from a 64-bit
 * buffer filled once per symbol (codes are at most 21 bits, positions 14).
 * The top TOP_BITS levels of the tree are decoded by one table lookup that
 * also gives the leaf's position, where the update starts; when a node the
 * table was built from moves, only the entries below it are filled again,
 * and a rebuild of the tree fills them all. Stored bytes are taken from the
 * reader's current block only: the next block is read when a symbol
 * actually reaches the last byte of this one, as a decoder holding 9 to 16
 * bits would, so the source sees the same requests.
 */
#include "expand/decoder.h"

#include <string.h>

static const unsigned TOP_BITS = 6;
static const unsigned HISTORY = RING_SIZE;
static const unsigned WINDOW_SLACK = 64; /* a match may run past the block, copied in 16-byte chunks */
static const unsigned BITS_AFTER_REFILL = 57;
static const unsigned TOUCHED_SIZE = 8;

/* Decoder */
static unsigned char ring[RING_SIZE];
static unsigned ringPos;
static uint32_t topTable[1 << TOP_BITS];
static unsigned char positionUpper[256];
static unsigned char positionLength[256];
static int positionTablesBuilt;
static uint64_t bitBuf; /* next bit at the top */
static unsigned bitCount;
static uint64_t bitsUsed;
static unsigned faults;

/* The adaptive model and, beside it in one object (the hot loop reaches
 * both from one base address), the bookkeeping of the table of the tree's
 * top: `watched` marks the positions whose child entries the table was
 * built from. A move that involves one lists both positions in `touched`
 * (the table below them is out of date); a rebuild, or more moves than
 * `touched` holds, makes the whole table stale. */
static struct {
    HuffModel model;
    unsigned char watched[NODE_COUNT];
    unsigned short touched[TOUCHED_SIZE];
    unsigned touchedCount;
    int stale;
} tree;

/* Reader */
static unsigned char readBuf[IO_BLOCK];
static uint32_t readCount; /* buffered bytes not yet served */
static uint32_t readPos;
static int readEnded; /* the source came up short: no more reads */

/* Writer: the block being filled starts at window + HISTORY */
static unsigned char window[HISTORY + IO_BLOCK + WINDOW_SLACK];
static uint32_t writeCount; /* bytes of the current block */
static uint32_t blockLimit;
static uint32_t written;

/* Starts the next block of stored bytes: min(remaining, IO_BLOCK) of them,
 * or none once the source has come up short. */
static void FillReader(ExpandReadCall read, void* source, uint32_t remaining) {
    uint32_t want = remaining < IO_BLOCK ? remaining : IO_BLOCK;
    uint32_t got = readEnded || !read ? 0 : read(source, readBuf, want);
    if (got > want) got = 0; /* more than asked: a failure (HFILE_ERROR) */
    if (got < want) readEnded = 1;
    readCount = got;
    readPos = 0;
}

static void SetBlockLimit(int32_t total) {
    uint32_t left = (uint32_t)total - written;
    blockLimit = left < IO_BLOCK ? left : IO_BLOCK;
}

/* Writes the full block and slides the window: the last HISTORY bytes before
 * the block's end, and whatever was decoded past it, move to the front. */
static void WriteBlock(ExpandWriteCall write, void* target) {
    if (write(target, window + HISTORY, blockLimit) != blockLimit) {
        faults |= EXPAND_FAULT_WRITE;
        return;
    }
    written += blockLimit;
    memmove(window, window + blockLimit, HISTORY + writeCount - blockLimit);
    writeCount -= blockLimit;
}

/* Fills the table entries below node p, which sits depth levels down with
 * the code `code`. An entry holds the depth, the child value and the
 * position of the leaf the code leads to within TOP_BITS levels, or of the
 * node it reaches at TOP_BITS levels with a child value of 0:
 * depth << 20 | child << 10 | position. */
static void FillTopTable(unsigned p, unsigned depth, unsigned code) {
    if (depth == TOP_BITS) {
        topTable[code] = (TOP_BITS << 20) | p;
        return;
    }
    tree.watched[p] = 1;
    unsigned k = tree.model.child[p];
    if (k < NODE_COUNT) {
        FillTopTable(k, depth + 1, code << 1);
        FillTopTable(k + 1, depth + 1, (code << 1) | 1);
        return;
    }
    unsigned first = code << (TOP_BITS - depth);
    unsigned last = first + (1u << (TOP_BITS - depth));
    for (unsigned e = first; e < last; e++) topTable[e] = (depth << 20) | (k << 10) | p;
}

/* Brings the table up to date after an update: the entries below each
 * position a move went through, or all of them. */
static void RefreshTopTable(void) {
    if (tree.stale) {
        memset(tree.watched, 0, sizeof tree.watched);
        FillTopTable(ROOT, 0, 0);
        tree.stale = 0;
        tree.touchedCount = 0;
        return;
    }
    for (unsigned t = 0; t < tree.touchedCount; t++) {
        unsigned p = tree.touched[t];
        unsigned depth = 0, code = 0;
        for (unsigned q = p; q != ROOT && depth < TOP_BITS; q = tree.model.parent[q]) code |= (q & 1u) << depth++;
        if (depth < TOP_BITS) FillTopTable(p, depth, code);
    }
    tree.touchedCount = 0;
}

/* The model's report of a move (NodeMoveCall). */
static inline void NoteMove(unsigned a, unsigned b) {
    if (tree.watched[a] | tree.watched[b]) {
        if (tree.touchedCount + 2 <= TOUCHED_SIZE) {
            tree.touched[tree.touchedCount++] = (unsigned short)a;
            tree.touched[tree.touchedCount++] = (unsigned short)b;
        } else {
            tree.stale = 1;
        }
    }
}

/* RefillBits a byte at a time, near the end of a block or of the stored
 * bytes. */
static void RefillBitsSlowly(uint32_t* remaining) {
    while (bitCount < BITS_AFTER_REFILL) {
        unsigned byte = 0;
        if (readCount > 0) {
            byte = readBuf[readPos++];
            readCount--;
            --*remaining;
        } else if (*remaining > 0) {
            if (!readEnded) break;
            --*remaining;
        }
        bitBuf |= (uint64_t)byte << (56 - bitCount);
        bitCount += 8;
    }
}

/* Tops the bit buffer up to at least BITS_AFTER_REFILL bits from the reader's
 * current block; past the stored bytes (or once the source has ended) with
 * zero bytes. Stops early when only the next block could serve. */
static inline void RefillBits(uint32_t* remaining) {
    if (readCount >= 8) {
        const unsigned char* p = readBuf + readPos;
        uint64_t next = ((uint64_t)p[0] << 56) | ((uint64_t)p[1] << 48) | ((uint64_t)p[2] << 40) |
                        ((uint64_t)p[3] << 32) | ((uint64_t)p[4] << 24) | ((uint64_t)p[5] << 16) |
                        ((uint64_t)p[6] << 8) | (uint64_t)p[7];
        /* Bits past the counted bytes are the next bytes themselves, so
         * taking them again later ORs in what is there already. */
        bitBuf |= next >> bitCount;
        unsigned n = (64 - bitCount) >> 3;
        readPos += n;
        readCount -= n;
        *remaining -= n;
        bitCount += n << 3;
        return;
    }
    RefillBitsSlowly(remaining);
}

/* The format's steps, each as the fast loop takes it. Bits are taken from
 * the top of bitBuf, `used` bits into it: the loop consumes a symbol's bits
 * only once the symbol is known to lie within the stored bytes read. */

/* One bit, `used` bits into the buffer. */
static inline unsigned GetBit(unsigned used) { return (unsigned)((bitBuf << used) >> 63); }

/* Eight bits, `used` bits into the buffer. */
static inline unsigned GetByte(unsigned used) { return (unsigned)((bitBuf << used) >> 56); }

/* A symbol of the adaptive tree: the top TOP_BITS levels by one lookup, the
 * rest one bit a level from the root down to a leaf. Returns the symbol;
 * *leaf is its leaf's position (where UpdateModel starts), *used the bits
 * of its code. */
static inline unsigned DecodeSymbol(unsigned* leaf, unsigned* used) {
    uint32_t entry = topTable[bitBuf >> (64 - TOP_BITS)];
    unsigned p = entry & 1023;
    unsigned c = (entry >> 10) & 1023;
    unsigned n = entry >> 20;
    if (c < NODE_COUNT) {
        c = tree.model.child[p];
        while (c < NODE_COUNT) {
            p = c + GetBit(n);
            c = tree.model.child[p];
            n++;
        }
    }
    *leaf = p;
    *used = n;
    return c - NODE_COUNT;
}

/* A match position after the symbol's *used bits: the prefix code of its
 * upper 6 bits (3 to 8 bits, read by one lookup of the next byte), then its
 * lower 6 bits. Returns the distance back, position + 1; adds the bits. */
static inline unsigned DecodePosition(unsigned* used) {
    unsigned first = GetByte(*used);
    unsigned prefix = positionLength[first];
    unsigned lower = (unsigned)((bitBuf << *used) >> (58 - prefix)) & 63;
    *used += prefix + 6;
    return ((unsigned)positionUpper[first] << 6 | lower) + 1;
}

int32_t ExpandStream(ExpandReadCall read, void* source, ExpandWriteCall write, void* target, int32_t expectedTotal,
                     uint32_t* remaining, ExpandOverrun overrun) {
    bitBuf = 0;
    bitCount = 0;
    bitsUsed = 0;
    faults = 0;
    if (expectedTotal <= 0) return 0;

    readCount = readPos = 0;
    readEnded = 0;
    StartModel(&tree.model);
    tree.stale = 1;
    if (!positionTablesBuilt) {
        BuildPositionTables(positionUpper, positionLength);
        positionTablesBuilt = 1;
    }
    /* The window's history is the ring as this stream first sees it, oldest
     * byte first: positions 4066..4095, then the 4066 spaces. */
    memcpy(window, ring + RING_START, RING_SIZE - RING_START);
    memset(window + (RING_SIZE - RING_START), ' ', RING_START);
    writeCount = 0;
    written = 0;
    SetBlockLimit(expectedTotal);

    const uint32_t stored = *remaining;
    uint32_t left = stored;
    unsigned char* outPtr = window + HISTORY;
    unsigned char* flushAt = outPtr + blockLimit;
    uint64_t realTaken = 0;

    for (;;) {
        if (bitCount < BITS_AFTER_REFILL) {
            uint32_t before = readCount;
            RefillBits(&left);
            realTaken += before - readCount;
        }
        if (tree.stale | tree.touchedCount) RefreshTopTable();

        unsigned leaf, used;
        unsigned symbol = DecodeSymbol(&leaf, &used);
        unsigned distance = 0;
        if (symbol >= FIRST_MATCH_SYMBOL) distance = DecodePosition(&used);
        if (used + 7 >= bitCount && readCount == 0 && left > 0 && !readEnded) {
            /* This symbol reads into the last byte of the block: the next
             * block is due. Read it and decode the symbol again. */
            FillReader(read, source, left);
            uint32_t before = readCount;
            RefillBitsSlowly(&left);
            realTaken += before - readCount;
            continue;
        }
        bitBuf <<= used;
        bitCount -= used;
        bitsUsed += used;
        /* At FREQ_LIMIT UpdateModel rebuilds the tree first (RebuildModel):
         * then the whole table is stale. */
        if (tree.model.freq[ROOT] == FREQ_LIMIT) tree.stale = 1;
        UpdateModel(&tree.model, symbol, leaf, NoteMove);

        if (symbol < FIRST_MATCH_SYMBOL) {
            *outPtr++ = (unsigned char)symbol;
        } else {
            unsigned length = symbol - (FIRST_MATCH_SYMBOL - THRESHOLD - 1);
            const unsigned char* from = outPtr - distance;
            if (distance >= 16) {
                memcpy(outPtr, from, 16);
                memcpy(outPtr + 16, from + 16, 16);
            } else {
                for (unsigned k = 0; k < length; k++) outPtr[k] = from[k];
            }
            outPtr += length;
        }

        if (outPtr < flushAt) continue;
        /* A match that completes one block may complete the next as well
         * (the last block can be shorter than the match's surplus). */
        writeCount = (uint32_t)(outPtr - (window + HISTORY));
        do {
            WriteBlock(write, target);
            if ((faults & EXPAND_FAULT_WRITE) || written == (uint32_t)expectedTotal) break;
            SetBlockLimit(expectedTotal);
        } while (writeCount >= blockLimit);
        if ((faults & EXPAND_FAULT_WRITE) || written == (uint32_t)expectedTotal) break;
        /* Symbols past the stream's stored bytes come from zero bits: the
         * stream is damaged or its stored size too small. Stop here rather
         * than write up to 2 GB of what zero bits decode to. */
        if (overrun == EXPAND_STOP_AT_OVERRUN && bitsUsed > 8ull * stored) {
            faults |= EXPAND_FAULT_OVERRUN;
            break;
        }
        outPtr = window + HISTORY + writeCount;
        flushAt = window + HISTORY + blockLimit;
    }

    /* Write the ring back: the last RING_SIZE bytes decoded, the oldest at
     * the next write position. */
    uint32_t produced = written + writeCount;
    const unsigned char* history = window + writeCount;
    ringPos = (RING_START + produced) & (RING_SIZE - 1);
    for (unsigned i = 0; i < RING_SIZE; i++) ring[(ringPos + i) & (RING_SIZE - 1)] = history[i];

    /* What a decoder holding 9 to 16 bits takes: up to the byte after the
     * one holding the last bit used. */
    uint64_t spent = (bitsUsed + 15) / 8;
    *remaining = spent < stored ? stored - (uint32_t)spent : 0;
    uint64_t needed = (bitsUsed + 7) / 8;
    if (needed > stored) needed = stored;
    if (realTaken < needed) faults |= EXPAND_FAULT_SHORT;
    return (int32_t)produced;
}

unsigned ExpandFaults(void) { return faults; }

uint64_t ExpandBitsUsed(void) { return bitsUsed; }
