#include "server/services/ImageDeflateStream.h"

#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/rtl/Exceptions.h"

namespace qorvin::server {

struct TImageDeflateStream::State {
  isal_zstream stream{};
  // The level's hash tables (ISA-L's default size for level 1) and the output piece.
  std::vector<uint8_t> levelBuffer = std::vector<uint8_t>(ISAL_DEF_LVL1_DEFAULT);
  std::vector<uint8_t> out = std::vector<uint8_t>(size_t(256) << 10);
};

TImageDeflateStream::TImageDeflateStream(TStream& target)
    : state_(std::make_unique<State>()), target_(target) {
  isal_zstream& s = state_->stream;
  isal_deflate_init(&s);
  s.level = 1;
  s.level_buf = state_->levelBuffer.data();
  s.level_buf_size = uint32_t(state_->levelBuffer.size());
  s.gzip_flag = IGZIP_ZLIB;
  s.flush = NO_FLUSH;
  s.end_of_stream = 0;
}

TImageDeflateStream::~TImageDeflateStream() {
  try {
    Finish();
  } catch (...) {
  }
}

void TImageDeflateStream::Drain(bool ending) {
  isal_zstream& s = state_->stream;
  s.end_of_stream = ending ? 1 : 0;
  for (;;) {
    s.next_out = state_->out.data();
    s.avail_out = uint32_t(state_->out.size());
    const int rc = isal_deflate(&s);
    if (rc != COMP_OK)
      throw EZCompressionError("The compressor failed (ISA-L error " + std::to_string(rc) + ")");
    const size_t produced = state_->out.size() - s.avail_out;
    if (produced > 0) target_.WriteBuffer(state_->out.data(), int64_t(produced));
    if (ending ? s.internal_state.state == ZSTATE_END : s.avail_in == 0 && s.avail_out > 0) return;
  }
}

int64_t TImageDeflateStream::Write(const void* buffer, int64_t count) {
  if (finished_) throw EZCompressionError("Invalid stream operation");
  if (count <= 0) return 0;
  isal_zstream& s = state_->stream;
  auto* at = static_cast<uint8_t*>(const_cast<void*>(buffer));
  for (int64_t left = count; left > 0;) {
    // The compressor counts its input in 32 bits.
    const auto piece = uint32_t(std::min<int64_t>(left, int64_t(1) << 30));
    s.next_in = at;
    s.avail_in = piece;
    Drain(false);
    at += piece;
    left -= piece;
  }
  totalIn_ += count;
  return count;
}

void TImageDeflateStream::Finish() {
  if (finished_) return;
  finished_ = true;
  state_->stream.next_in = nullptr;
  state_->stream.avail_in = 0;
  Drain(true);
}

int64_t TImageDeflateStream::Read(void*, int64_t) {
  throw EZCompressionError("Invalid stream operation");
}

int64_t TImageDeflateStream::Seek(int64_t offset, SeekOrigin origin) {
  if (offset == 0 && origin == SeekOrigin::Current) return totalIn_;
  throw EZCompressionError("Invalid stream operation");
}

void TImageDeflateStream::SetSize(int64_t) {
  throw EZCompressionError("Invalid stream operation");
}

namespace {

// `in` deflated in one step at ISA-L `level` into one zlib stream in `out`; false when it does not
// fit there. `levelBuffer` holds the level's hash tables (ISA-L's default size for the level).
bool DeflateStateless(uint32_t level, std::vector<uint8_t>& levelBuffer,
                      std::span<const unsigned char> in, std::span<uint8_t> out, size_t& produced) {
  isal_zstream s;
  isal_deflate_stateless_init(&s);
  s.level = level;
  s.level_buf = levelBuffer.data();
  s.level_buf_size = uint32_t(levelBuffer.size());
  s.gzip_flag = IGZIP_ZLIB;
  s.end_of_stream = 1;
  s.flush = NO_FLUSH;
  s.next_in = const_cast<uint8_t*>(in.data());
  s.avail_in = uint32_t(in.size());
  s.next_out = out.data();
  s.avail_out = uint32_t(out.size());
  if (isal_deflate_stateless(&s) != COMP_OK) return false;
  produced = s.total_out;
  return true;
}

}  // namespace

bool DeflateBlobBody(std::span<const unsigned char> body, TStream& target) {
  // The stateless compressor takes its input's length in 32 bits.
  if (body.size() > (size_t(1) << 31)) return false;
  thread_local std::vector<uint8_t> levelBuffer(ISAL_DEF_LVL2_DEFAULT);
  // Already compressed data grows a little at worst: room for that, or fall back.
  const size_t room = body.size() + body.size() / 16 + 1024;
  auto* memory = dynamic_cast<TMemoryStream*>(&target);
  std::vector<uint8_t> own;
  uint8_t* out = nullptr;
  if (memory != nullptr && memory->Position() == memory->Size()) {
    out = memory->RoomAtEnd(int64_t(room));
  } else {
    own.resize(room);
    out = own.data();
  }
  size_t produced = 0;
  if (!DeflateStateless(2, levelBuffer, body, {out, room}, produced)) return false;
  if (memory != nullptr && own.empty())
    memory->Appended(int64_t(produced));
  else
    target.WriteBuffer(out, int64_t(produced));
  return true;
}

bool DeflateImageWhole(std::span<const unsigned char> image, std::string& out) {
  out.clear();
  if (image.size() > (size_t(1) << 30)) return false;
  thread_local std::vector<uint8_t> levelBuffer(ISAL_DEF_LVL1_DEFAULT);
  // Room for stored blocks (5 bytes each 64 KiB) and the zlib header and check value.
  out.resize(image.size() + image.size() / 1024 + 64);
  size_t produced = 0;
  if (!DeflateStateless(1, levelBuffer, image, {reinterpret_cast<uint8_t*>(out.data()), out.size()},
                        produced)) {
    out.clear();
    return false;
  }
  out.resize(produced);
  return true;
}

}  // namespace qorvin::server
