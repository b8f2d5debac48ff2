// Deflate blocks (RFC 1951) from a stream of literals and matches, cut and coded as zlib 1.2.13
// cuts and codes them at memory level 8: a block ends after 16 383 symbols (or at the end), and
// is stored, coded with the fixed trees or with its own trees, whichever zlib's size estimates
// pick, with zlib's Huffman trees (the same tie-breaks and length limits). Given zlib's symbols,
// the bits are zlib's.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace qorvin::deflate {

// zlib's ct_data: frequency or code, and father or length, each sharing its 16 bits.
struct TTreeNode {
  uint16_t fc = 0;
  uint16_t dl = 0;
};

class TBlockWriter {
 public:
  // Symbols per block (zlib: lit_bufsize - 1).
  static constexpr uint32_t kBlockSymbols = (1u << 14) - 1;

  // Appends the compressed bits, as whole bytes, to `out`.
  explicit TBlockWriter(std::vector<uint8_t>& out);

  // Adds a symbol to the block; true when the block is full.
  bool Literal(uint8_t c) {
    symbols_[count_++] = c;
    ++literalTree_[c].fc;
    return count_ == kBlockSymbols;
  }
  bool Match(uint32_t distance, uint32_t length);
  uint32_t Count() const { return count_; }

  // Ends the block: `stored` holds its `storedLength` input bytes, or is null where zlib no
  // longer holds them (a stored block is then not a choice). `last` also pads to a byte.
  void Flush(const uint8_t* stored, uint32_t storedLength, bool last);

  // Pads to a byte (zlib's bi_windup).
  void AlignToByte();

 private:
  using TNode = TTreeNode;
  struct TStaticDesc {
    const TNode* staticTree;
    const int* extraBits;
    int extraBase;
    int elems;
    int maxLength;
  };
  struct TTreeDesc {
    TNode* tree;
    int maxCode;
    const TStaticDesc* stat;
  };

  void SendBits(uint32_t value, int length) {
    bits_ |= uint64_t(value) << bitCount_;
    bitCount_ += length;
    if (bitCount_ >= 32) DrainBits();
  }
  void DrainBits();
  void SendCode(int c, const TNode* tree) { SendBits(tree[c].fc, tree[c].dl); }

  void InitBlock();
  void DownHeap(TNode* tree, int k);
  void GenBitLengths(TTreeDesc& desc);
  void BuildTree(TTreeDesc& desc);
  void ScanTree(TNode* tree, int maxCode);
  void SendTree(const TNode* tree, int maxCode);
  int BuildBitLengthTree();
  void SendAllTrees(int lcodes, int dcodes, int blcodes);
  void CompressBlock(const TNode* ltree, const TNode* dtree);
  void StoredBlock(const uint8_t* stored, uint32_t storedLength, bool last);

  std::vector<uint8_t>& out_;
  uint64_t bits_ = 0;
  int bitCount_ = 0;

  // The block's symbols: a literal byte, or 0x100 | (length - 3) with the distance beside it.
  std::vector<uint16_t> symbols_;
  std::vector<uint16_t> distances_;
  uint32_t count_ = 0;

  std::array<TNode, 2 * 286 + 1> literalTree_{};
  std::array<TNode, 2 * 30 + 1> distanceTree_{};
  std::array<TNode, 2 * 19 + 1> bitLengthTree_{};
  TTreeDesc literalDesc_;
  TTreeDesc distanceDesc_;
  TTreeDesc bitLengthDesc_;

  std::array<uint16_t, 16> bitLengthCount_{};
  std::array<int, 2 * 286 + 1> heap_{};
  int heapLength_ = 0;
  int heapMax_ = 0;
  std::array<uint8_t, 2 * 286 + 1> depth_{};
  uint64_t optimalLength_ = 0;
  uint64_t staticLength_ = 0;
};

}  // namespace qorvin::deflate
