#include "platform/zlib/DeflateBlocks.h"

#include <cstring>

namespace qorvin::deflate {

namespace {

constexpr int kLengthCodes = 29;
constexpr int kLiterals = 256;
constexpr int kLiteralCodes = kLiterals + 1 + kLengthCodes;  // 286
constexpr int kDistanceCodes = 30;
constexpr int kBitLengthCodes = 19;
constexpr int kHeapSize = 2 * kLiteralCodes + 1;
constexpr int kMaxBits = 15;
constexpr int kMaxBitLengthBits = 7;
constexpr int kEndBlock = 256;
constexpr int kRep3To6 = 16;
constexpr int kRepZero3To10 = 17;
constexpr int kRepZero11To138 = 18;
constexpr int kSmallest = 1;

constexpr int kExtraLengthBits[kLengthCodes] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr int kExtraDistanceBits[kDistanceCodes] = {0, 0, 0,  0,  1,  1,  2,  2,  3,  3,
                                                    4, 4, 5,  5,  6,  6,  7,  7,  8,  8,
                                                    9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr int kExtraBitLengthBits[kBitLengthCodes] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                      0, 0, 0, 0, 0, 0, 2, 3, 7};
constexpr uint8_t kBitLengthOrder[kBitLengthCodes] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                      11, 4,  12, 3, 13, 2, 14, 1, 15};

unsigned ReverseBits(unsigned code, int length) {
  unsigned result = 0;
  do {
    result |= code & 1;
    code >>= 1, result <<= 1;
  } while (--length > 0);
  return result >> 1;
}

// Codes for the lengths in `tree[0..maxCode]`, given how many there are of each length.
template <class Node>
void GenCodes(Node* tree, int maxCode, const uint16_t* bitLengthCount) {
  uint16_t nextCode[kMaxBits + 1];
  unsigned code = 0;
  for (int bits = 1; bits <= kMaxBits; bits++) {
    code = (code + bitLengthCount[bits - 1]) << 1;
    nextCode[bits] = uint16_t(code);
  }
  for (int n = 0; n <= maxCode; n++) {
    const int length = tree[n].dl;
    if (length == 0) continue;
    tree[n].fc = uint16_t(ReverseBits(nextCode[length]++, length));
  }
}

// zlib's constant tables.
struct TStaticTables {
  uint8_t lengthCode[256];
  uint8_t distanceCode[512];
  int baseLength[kLengthCodes];
  int baseDistance[kDistanceCodes];
  TTreeNode literalTree[kLiteralCodes + 2];
  TTreeNode distanceTree[kDistanceCodes];

  TStaticTables() {
    int length = 0, code = 0;
    for (code = 0; code < kLengthCodes - 1; code++) {
      baseLength[code] = length;
      for (int n = 0; n < (1 << kExtraLengthBits[code]); n++) lengthCode[length++] = uint8_t(code);
    }
    // Length 258 has two codes; the shorter one is used.
    lengthCode[length - 1] = uint8_t(code);
    baseLength[kLengthCodes - 1] = 0;
    int dist = 0;
    for (code = 0; code < 16; code++) {
      baseDistance[code] = dist;
      for (int n = 0; n < (1 << kExtraDistanceBits[code]); n++)
        distanceCode[dist++] = uint8_t(code);
    }
    dist >>= 7;  // from here on, distances are divided by 128
    for (; code < kDistanceCodes; code++) {
      baseDistance[code] = dist << 7;
      for (int n = 0; n < (1 << (kExtraDistanceBits[code] - 7)); n++) {
        distanceCode[256 + dist++] = uint8_t(code);
      }
    }
    uint16_t count[kMaxBits + 1] = {};
    int n = 0;
    while (n <= 143) literalTree[n++].dl = 8, count[8]++;
    while (n <= 255) literalTree[n++].dl = 9, count[9]++;
    while (n <= 279) literalTree[n++].dl = 7, count[7]++;
    while (n <= 287) literalTree[n++].dl = 8, count[8]++;
    GenCodes(literalTree, kLiteralCodes + 1, count);
    for (n = 0; n < kDistanceCodes; n++) {
      distanceTree[n].dl = 5;
      distanceTree[n].fc = uint16_t(ReverseBits(unsigned(n), 5));
    }
  }

  int DistanceCode(unsigned distanceMinusOne) const {
    return distanceMinusOne < 256 ? distanceCode[distanceMinusOne]
                                  : distanceCode[256 + (distanceMinusOne >> 7)];
  }
};

const TStaticTables& Tables() {
  static const TStaticTables tables;
  return tables;
}

}  // namespace

TBlockWriter::TBlockWriter(std::vector<uint8_t>& out)
    : out_(out), symbols_(kBlockSymbols + 1), distances_(kBlockSymbols + 1) {
  const TStaticTables& t = Tables();
  static const TStaticDesc literalStatic{t.literalTree, kExtraLengthBits, kLiterals + 1,
                                         kLiteralCodes, kMaxBits};
  static const TStaticDesc distanceStatic{t.distanceTree, kExtraDistanceBits, 0, kDistanceCodes,
                                          kMaxBits};
  static const TStaticDesc bitLengthStatic{nullptr, kExtraBitLengthBits, 0, kBitLengthCodes,
                                           kMaxBitLengthBits};
  literalDesc_ = {literalTree_.data(), 0, &literalStatic};
  distanceDesc_ = {distanceTree_.data(), 0, &distanceStatic};
  bitLengthDesc_ = {bitLengthTree_.data(), 0, &bitLengthStatic};
  InitBlock();
}

bool TBlockWriter::Match(uint32_t distance, uint32_t length) {
  const TStaticTables& t = Tables();
  const uint32_t lc = length - 3;
  symbols_[count_] = uint16_t(0x100 | lc);
  distances_[count_] = uint16_t(distance);
  ++count_;
  ++literalTree_[t.lengthCode[lc] + kLiterals + 1].fc;
  ++distanceTree_[t.DistanceCode(distance - 1)].fc;
  return count_ == kBlockSymbols;
}

void TBlockWriter::DrainBits() {
  const size_t at = out_.size();
  out_.resize(at + 4);
  const uint32_t word = uint32_t(bits_);
  std::memcpy(out_.data() + at, &word, 4);  // little-endian: the first bits first
  bits_ >>= 32;
  bitCount_ -= 32;
}

void TBlockWriter::AlignToByte() {
  while (bitCount_ > 0) {
    out_.push_back(uint8_t(bits_));
    bits_ >>= 8;
    bitCount_ -= 8;
  }
  bits_ = 0;
  bitCount_ = 0;
}

void TBlockWriter::InitBlock() {
  for (int n = 0; n < kLiteralCodes; n++) literalTree_[n].fc = 0;
  for (int n = 0; n < kDistanceCodes; n++) distanceTree_[n].fc = 0;
  for (int n = 0; n < kBitLengthCodes; n++) bitLengthTree_[n].fc = 0;
  literalTree_[kEndBlock].fc = 1;
  optimalLength_ = staticLength_ = 0;
  count_ = 0;
}

void TBlockWriter::DownHeap(TNode* tree, int k) {
  const auto smaller = [&](int n, int m) {
    return tree[n].fc < tree[m].fc || (tree[n].fc == tree[m].fc && depth_[n] <= depth_[m]);
  };
  const int v = heap_[k];
  int j = k << 1;
  while (j <= heapLength_) {
    if (j < heapLength_ && smaller(heap_[j + 1], heap_[j])) j++;
    if (smaller(v, heap_[j])) break;
    heap_[k] = heap_[j];
    k = j;
    j <<= 1;
  }
  heap_[k] = v;
}

// The bit length of each code: the depth in the tree, with zlib's fix-up for lengths past the
// limit. Adds the block's coded size to the length estimates.
void TBlockWriter::GenBitLengths(TTreeDesc& desc) {
  TNode* tree = desc.tree;
  const int maxCode = desc.maxCode;
  const TNode* stree = desc.stat->staticTree;
  const int* extra = desc.stat->extraBits;
  const int base = desc.stat->extraBase;
  const int maxLength = desc.stat->maxLength;
  int overflow = 0;
  for (int bits = 0; bits <= kMaxBits; bits++) bitLengthCount_[bits] = 0;
  tree[heap_[heapMax_]].dl = 0;  // the root
  int h;
  for (h = heapMax_ + 1; h < kHeapSize; h++) {
    const int n = heap_[h];
    int bits = tree[tree[n].dl].dl + 1;
    if (bits > maxLength) bits = maxLength, overflow++;
    tree[n].dl = uint16_t(bits);
    if (n > maxCode) continue;  // not a leaf
    bitLengthCount_[bits]++;
    int xbits = 0;
    if (n >= base) xbits = extra[n - base];
    const uint16_t f = tree[n].fc;
    optimalLength_ += uint64_t(f) * unsigned(bits + xbits);
    if (stree) staticLength_ += uint64_t(f) * unsigned(stree[n].dl + xbits);
  }
  if (overflow == 0) return;
  do {
    int bits = maxLength - 1;
    while (bitLengthCount_[bits] == 0) bits--;
    bitLengthCount_[bits]--;
    bitLengthCount_[bits + 1] += 2;
    bitLengthCount_[maxLength]--;
    overflow -= 2;
  } while (overflow > 0);
  for (int bits = maxLength; bits != 0; bits--) {
    int n = bitLengthCount_[bits];
    while (n != 0) {
      const int m = heap_[--h];
      if (m > maxCode) continue;
      if (unsigned(tree[m].dl) != unsigned(bits)) {
        optimalLength_ += (uint64_t(bits) - tree[m].dl) * tree[m].fc;
        tree[m].dl = uint16_t(bits);
      }
      n--;
    }
  }
}

void TBlockWriter::BuildTree(TTreeDesc& desc) {
  TNode* tree = desc.tree;
  const TNode* stree = desc.stat->staticTree;
  const int elems = desc.stat->elems;
  int maxCode = -1;
  heapLength_ = 0;
  heapMax_ = kHeapSize;
  for (int n = 0; n < elems; n++) {
    if (tree[n].fc != 0) {
      heap_[++heapLength_] = maxCode = n;
      depth_[n] = 0;
    } else {
      tree[n].dl = 0;
    }
  }
  // At least two codes, as the format needs.
  while (heapLength_ < 2) {
    const int node = heap_[++heapLength_] = (maxCode < 2 ? ++maxCode : 0);
    tree[node].fc = 1;
    depth_[node] = 0;
    optimalLength_--;
    if (stree) staticLength_ -= stree[node].dl;
  }
  desc.maxCode = maxCode;
  for (int n = heapLength_ / 2; n >= 1; n--) DownHeap(tree, n);
  int node = elems;
  do {
    const int n = heap_[kSmallest];
    heap_[kSmallest] = heap_[heapLength_--];
    DownHeap(tree, kSmallest);
    const int m = heap_[kSmallest];
    heap_[--heapMax_] = n;
    heap_[--heapMax_] = m;
    tree[node].fc = uint16_t(tree[n].fc + tree[m].fc);
    depth_[node] = uint8_t((depth_[n] >= depth_[m] ? depth_[n] : depth_[m]) + 1);
    tree[n].dl = tree[m].dl = uint16_t(node);
    heap_[kSmallest] = node++;
    DownHeap(tree, kSmallest);
  } while (heapLength_ >= 2);
  heap_[--heapMax_] = heap_[kSmallest];
  GenBitLengths(desc);
  GenCodes(tree, maxCode, bitLengthCount_.data());
}

// Walks the code lengths of tree[0..maxCode] as the format codes them, calling
// `emit(symbol, extraBits, extra)` for each symbol of the bit-length alphabet: a plain length
// (0-15), a run of the length before it (16, 3-6 times), or a run of zeros (17: 3-10, 18: 11-138).
// tree[maxCode + 1] must hold the guard length 0xffff.
template <class Emit>
void WalkLengths(const TTreeNode* tree, int maxCode, Emit&& emit) {
  int prevLength = -1;
  int nextLength = tree[0].dl;
  int count = 0;
  int maxCount = 7, minCount = 4;
  if (nextLength == 0) maxCount = 138, minCount = 3;
  for (int n = 0; n <= maxCode; n++) {
    const int length = nextLength;
    nextLength = tree[n + 1].dl;
    if (++count < maxCount && length == nextLength) {
      continue;
    } else if (count < minCount) {
      do {
        emit(length, 0, 0);
      } while (--count != 0);
    } else if (length != 0) {
      if (length != prevLength) {
        emit(length, 0, 0);
        count--;
      }
      emit(kRep3To6, 2, count - 3);
    } else if (count <= 10) {
      emit(kRepZero3To10, 3, count - 3);
    } else {
      emit(kRepZero11To138, 7, count - 11);
    }
    count = 0;
    prevLength = length;
    if (nextLength == 0) {
      maxCount = 138, minCount = 3;
    } else if (length == nextLength) {
      maxCount = 6, minCount = 3;
    } else {
      maxCount = 7, minCount = 4;
    }
  }
}

void TBlockWriter::ScanTree(TNode* tree, int maxCode) {
  tree[maxCode + 1].dl = 0xffff;  // guard
  WalkLengths(tree, maxCode, [&](int symbol, int, int) { ++bitLengthTree_[symbol].fc; });
}

void TBlockWriter::SendTree(const TNode* tree, int maxCode) {
  WalkLengths(tree, maxCode, [&](int symbol, int extraBits, int extra) {
    SendCode(symbol, bitLengthTree_.data());
    if (extraBits != 0) SendBits(uint32_t(extra), extraBits);
  });
}

int TBlockWriter::BuildBitLengthTree() {
  ScanTree(literalTree_.data(), literalDesc_.maxCode);
  ScanTree(distanceTree_.data(), distanceDesc_.maxCode);
  BuildTree(bitLengthDesc_);
  int maxIndex;
  for (maxIndex = kBitLengthCodes - 1; maxIndex >= 3; maxIndex--) {
    if (bitLengthTree_[kBitLengthOrder[maxIndex]].dl != 0) break;
  }
  optimalLength_ += 3 * (uint64_t(maxIndex) + 1) + 5 + 5 + 4;
  return maxIndex;
}

void TBlockWriter::SendAllTrees(int lcodes, int dcodes, int blcodes) {
  SendBits(uint32_t(lcodes - 257), 5);
  SendBits(uint32_t(dcodes - 1), 5);
  SendBits(uint32_t(blcodes - 4), 4);
  for (int rank = 0; rank < blcodes; rank++) {
    SendBits(bitLengthTree_[kBitLengthOrder[rank]].dl, 3);
  }
  SendTree(literalTree_.data(), lcodes - 1);
  SendTree(distanceTree_.data(), dcodes - 1);
}

void TBlockWriter::CompressBlock(const TNode* ltree, const TNode* dtree) {
  const TStaticTables& t = Tables();
  for (uint32_t i = 0; i < count_; ++i) {
    const uint16_t symbol = symbols_[i];
    if (symbol < 0x100) {
      SendCode(symbol, ltree);
      continue;
    }
    const int lc = symbol & 0xff;
    int code = t.lengthCode[lc];
    SendCode(code + kLiterals + 1, ltree);
    int extra = kExtraLengthBits[code];
    if (extra != 0) SendBits(uint32_t(lc - t.baseLength[code]), extra);
    const unsigned dist = distances_[i] - 1u;
    code = t.DistanceCode(dist);
    SendCode(code, dtree);
    extra = kExtraDistanceBits[code];
    if (extra != 0) SendBits(dist - unsigned(t.baseDistance[code]), extra);
  }
  SendCode(kEndBlock, ltree);
}

// Stored block: 3 header bits, then from the next byte LEN and NLEN (little-endian 16 bits each)
// and the LEN bytes as they are.
void TBlockWriter::StoredBlock(const uint8_t* stored, uint32_t storedLength, bool last) {
  SendBits(last ? 1u : 0u, 3);
  AlignToByte();
  const uint16_t length = uint16_t(storedLength);
  const uint16_t complement = uint16_t(~storedLength);
  const uint8_t header[4] = {uint8_t(length), uint8_t(length >> 8), uint8_t(complement),
                             uint8_t(complement >> 8)};
  out_.insert(out_.end(), header, header + 4);
  out_.insert(out_.end(), stored, stored + storedLength);
}

void TBlockWriter::Flush(const uint8_t* stored, uint32_t storedLength, bool last) {
  BuildTree(literalDesc_);
  BuildTree(distanceDesc_);
  const int maxBitLengthIndex = BuildBitLengthTree();
  uint64_t optimalBytes = (optimalLength_ + 3 + 7) >> 3;
  const uint64_t staticBytes = (staticLength_ + 3 + 7) >> 3;
  if (staticBytes <= optimalBytes) optimalBytes = staticBytes;
  if (uint64_t(storedLength) + 4 <= optimalBytes && stored != nullptr) {
    StoredBlock(stored, storedLength, last);
  } else if (staticBytes == optimalBytes) {
    const TStaticTables& t = Tables();
    SendBits((1u << 1) + (last ? 1u : 0u), 3);
    CompressBlock(t.literalTree, t.distanceTree);
  } else {
    SendBits((2u << 1) + (last ? 1u : 0u), 3);
    SendAllTrees(literalDesc_.maxCode + 1, distanceDesc_.maxCode + 1, maxBitLengthIndex + 1);
    CompressBlock(literalTree_.data(), distanceTree_.data());
  }
  InitBlock();
  if (last) AlignToByte();
}

}  // namespace qorvin::deflate
