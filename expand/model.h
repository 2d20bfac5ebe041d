/* The adaptive Huffman model and the position code of the stream format.
 *
 * Shared by the installer's decoder and the authoring side's compressor, so
 * both sides step the very same tree.
 *
 * The tree codes 284 symbols: bytes 0..255 and match lengths 3..30 (symbol
 * 253 + length). Its 567 nodes sit at positions 0..566 in non-decreasing
 * order of frequency, the root at 566, siblings side by side (the first one
 * at an even position). After every symbol the frequencies along the
 * symbol's path rise by one, and a node that would break the order trades
 * places, with its whole subtree, with the highest node of lower frequency.
 * When the root frequency reaches FREQ_LIMIT the leaf frequencies are
 * halved (rounding up) and the tree is built again. The root never exceeds
 * 2^15, which bounds every code to 21 bits (a Huffman code of depth d needs
 * a total weight of at least Fibonacci(d + 2)).
 *
 * A match position p (0..4095, copied from p + 1 bytes back) is sent as a
 * canonical prefix code of 3 to 8 bits for p / 64 followed by the 6 bits of
 * p % 64, most significant bit first.
 */
#ifndef EXPAND_MODEL_H
#define EXPAND_MODEL_H

const unsigned RING_SIZE = 4096;
const unsigned MAX_MATCH = 30;
const unsigned THRESHOLD = 2;
const unsigned SYMBOL_COUNT = 256 - THRESHOLD + MAX_MATCH; /* 284 */
const unsigned NODE_COUNT = 2 * SYMBOL_COUNT - 1;          /* 567 */
const unsigned ROOT = NODE_COUNT - 1;                      /* 566 */
const unsigned FREQ_LIMIT = 0x8000;
const unsigned IO_BLOCK = 16384;

const unsigned RING_START = RING_SIZE - MAX_MATCH; /* first write position, and the number of leading spaces */
const unsigned FIRST_MATCH_SYMBOL = 256;
const unsigned MAX_CODE_BITS = 21;                 /* longest symbol code the model can reach */

/* One instance of the tree. `child` holds NODE_COUNT + symbol for a leaf;
 * `parent` holds, past NODE_COUNT, the leaf position of each symbol. */
struct HuffModel {
    unsigned short freq[NODE_COUNT + 1]; /* the last entry is a 0xFFFF sentinel */
    unsigned short child[NODE_COUNT];
    unsigned short parent[NODE_COUNT + SYMBOL_COUNT];
};

/* Told that the nodes at positions a and b traded places, each with its
 * subtree (a decoder that keeps a table of the tree's top learns here which
 * part of it is out of date). Null: nobody asks. */
typedef void (*NodeMoveCall)(unsigned a, unsigned b);

/* The initial tree: all frequencies 1; symbols 56..283 get 8-bit codes,
 * 0..55 9-bit codes. */
void StartModel(HuffModel* model);

/* Halves the leaf frequencies and rebuilds the tree in place. */
void RebuildModel(HuffModel* model);

/* Moves the node at c, whose frequency has just become k and exceeds its
 * right neighbour's, with its subtree, to the highest position of lower
 * frequency; returns that position. The positions keep their parents. */
static inline unsigned MoveNodeUp(HuffModel* model, unsigned c, unsigned k, NodeMoveCall moved) {
    unsigned short* freq = model->freq;
    unsigned short* child = model->child;
    unsigned short* parent = model->parent;
    /* The positions above c are sorted: find the last one below k,
     * galloping (runs of equal frequencies are long in a young tree). */
    unsigned l = c + 1;
    if (freq[l + 1] < k) {
        unsigned step = 1, high;
        for (;;) {
            high = l + step < NODE_COUNT ? l + step : NODE_COUNT; /* the sentinel is above every k */
            if (freq[high] >= k) break;
            l = high;
            step <<= 1;
        }
        while (high - l > 1) {
            unsigned middle = (l + high) / 2;
            if (freq[middle] < k) {
                l = middle;
            } else {
                high = middle;
            }
        }
    }
    freq[c] = freq[l];
    freq[l] = (unsigned short)k;
    unsigned i = child[c];
    unsigned j = child[l];
    child[l] = (unsigned short)i;
    child[c] = (unsigned short)j;
    /* A node's children are i and i + 1, a leaf's "child" is its symbol
     * entry alone (written twice here, which spares a branch). */
    parent[i] = (unsigned short)l;
    parent[i + (i < NODE_COUNT)] = (unsigned short)l;
    parent[j] = (unsigned short)c;
    parent[j + (j < NODE_COUNT)] = (unsigned short)c;
    if (moved) moved(c, l);
    return l;
}

/* Counts one more at position c and at each node above it. The root never
 * moves (the sentinel above it is never exceeded). */
static inline void CountUpFrom(HuffModel* model, unsigned c, NodeMoveCall moved) {
    unsigned short* freq = model->freq;
    while (c != ROOT) {
        unsigned k = ++freq[c];
        if (k > freq[c + 1]) c = MoveNodeUp(model, c, k, moved);
        c = model->parent[c];
    }
    ++freq[ROOT];
}

/* Counts one occurrence of symbol, whose leaf is at position leaf
 * (rebuilding first when the root has reached FREQ_LIMIT), and restores the
 * order of the positions, telling moved of each move. */
static inline void UpdateModel(HuffModel* model, unsigned symbol, unsigned leaf, NodeMoveCall moved) {
    if (model->freq[ROOT] == FREQ_LIMIT) {
        RebuildModel(model);
        leaf = model->parent[NODE_COUNT + symbol];
    }
    CountUpFrom(model, leaf, moved);
}

/* The same for a caller that has only the symbol and watches no moves. */
static inline void UpdateModel(HuffModel* model, unsigned symbol) {
    UpdateModel(model, symbol, model->parent[NODE_COUNT + symbol], 0);
}

/* The position code's decoding tables, indexed by the first 8 bits of a
 * position code: the upper 6 bits of the position and the prefix length. */
void BuildPositionTables(unsigned char* upper, unsigned char* length);

/* The prefix of upper value u (0..63): its code in the low *length bits. */
void GetPositionPrefix(unsigned upper, unsigned* code, unsigned* length);

#endif
