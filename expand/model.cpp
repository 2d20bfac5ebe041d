/* The adaptive Huffman model: start and rebuild; and the position prefix
 * code. See expand/model.h for the tree's rules.
 */
#include "expand/model.h"


void StartModel(HuffModel* model) {
    for (unsigned s = 0; s < SYMBOL_COUNT; s++) {
        model->freq[s] = 1;
        model->child[s] = (unsigned short)(NODE_COUNT + s);
        model->parent[NODE_COUNT + s] = (unsigned short)s;
    }
    for (unsigned j = SYMBOL_COUNT, i = 0; j < NODE_COUNT; j++, i += 2) {
        model->freq[j] = (unsigned short)(model->freq[i] + model->freq[i + 1]);
        model->child[j] = (unsigned short)i;
        model->parent[i] = model->parent[i + 1] = (unsigned short)j;
    }
    model->freq[NODE_COUNT] = 0xFFFF;
    model->parent[ROOT] = 0;
}

/* The leaves keep their order when halved, and the internal nodes come out
 * in order of their sums, so the tree is one merge of two sorted runs: the
 * leaves, and the nodes made by pairing positions 0-1, 2-3, ... as they are
 * filled. A node goes above the leaves of equal frequency. */
void RebuildModel(HuffModel* model) {
    unsigned short* freq = model->freq;
    unsigned short* child = model->child;
    unsigned short leafFreq[SYMBOL_COUNT];
    unsigned short leafChild[SYMBOL_COUNT];

    unsigned leaves = 0;
    for (unsigned i = 0; i < NODE_COUNT; i++) {
        if (child[i] >= NODE_COUNT) {
            leafFreq[leaves] = (unsigned short)((freq[i] + 1) / 2);
            leafChild[leaves] = child[i];
            leaves++;
        }
    }

    unsigned nextLeaf = 0;
    unsigned nextPair = 0; /* first child of the next node to place */
    for (unsigned pos = 0; pos < NODE_COUNT; pos++) {
        int pairReady = nextPair + 1 < pos;
        unsigned pairFreq = pairReady ? freq[nextPair] + freq[nextPair + 1] : 0;
        if (nextLeaf < SYMBOL_COUNT && (!pairReady || leafFreq[nextLeaf] <= pairFreq)) {
            freq[pos] = leafFreq[nextLeaf];
            child[pos] = leafChild[nextLeaf];
            nextLeaf++;
        } else {
            freq[pos] = (unsigned short)pairFreq;
            child[pos] = (unsigned short)nextPair;
            nextPair += 2;
        }
    }

    for (unsigned i = 0; i < NODE_COUNT; i++) {
        unsigned k = child[i];
        model->parent[k] = (unsigned short)i;
        if (k < NODE_COUNT) model->parent[k + 1] = (unsigned short)i;
    }
}

/* The prefix code in runs: each row gives its first upper value, the first
 * byte value of its codes and the prefix length; each upper value of a row
 * covers 2^(8 - length) byte values. */
static const unsigned char POSITION_ROWS[6][3] = {
    {0, 0, 3}, {1, 32, 4}, {4, 80, 5}, {12, 144, 6}, {24, 192, 7}, {48, 240, 8},
};

void BuildPositionTables(unsigned char* upper, unsigned char* length) {
    for (unsigned r = 0; r < 6; r++) {
        unsigned end = r < 5 ? POSITION_ROWS[r + 1][1] : 256;
        unsigned shift = 8 - POSITION_ROWS[r][2];
        for (unsigned b = POSITION_ROWS[r][1]; b < end; b++) {
            upper[b] = (unsigned char)(POSITION_ROWS[r][0] + ((b - POSITION_ROWS[r][1]) >> shift));
            length[b] = POSITION_ROWS[r][2];
        }
    }
}

void GetPositionPrefix(unsigned upper, unsigned* code, unsigned* length) {
    unsigned r = 5;
    while (upper < POSITION_ROWS[r][0]) r--;
    unsigned shift = 8 - POSITION_ROWS[r][2];
    unsigned firstByte = POSITION_ROWS[r][1] + ((upper - POSITION_ROWS[r][0]) << shift);
    *code = firstByte >> shift;
    *length = POSITION_ROWS[r][2];
}
