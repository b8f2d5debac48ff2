// QorvinPieces — reads whose rows reach the host a piece at a time.
//
// An extension of the module reached with QueryInterface (the module interface itself does not
// change). Include it after QorvinClient.h:
//
//   IQorvinPieceReader* reader = nullptr;
//   if (module->QueryInterface(&kQorvinIID_IQorvinPieceReader,
//                              reinterpret_cast<void**>(&reader)) == 0)
//     reader->SynchReadDataPieces("", "", "select * from big", 0,
//                                 QorvinPieceCallback{&OnPiece, &writer}, &result, &errorText);
//
// SynchReadData hands back one data packet of every row, and a host that shows the rows as a
// record set holds them a second time. A piece read decodes the reply's record set as it is
// inflated and hands the rows on in record sets of a bounded number of rows, so that the memory
// of a read of any size is its compressed reply and a few pieces. The object belongs to the
// module (the same one on every query) and lives as long as it. See docs/host-api.md.
//
// Threads: as the module's own methods (one call at a time; the callback runs on the calling
// thread).
#ifndef QORVIN_PIECES_H
#define QORVIN_PIECES_H

#include <cstdint>

#include "QorvinClient.h"

extern "C" {

// Receives the pieces of a read, in order. `piece` is a new open record set holding the next
// rows, each with the fields of the whole result; it is the host's from now on, to Release
// whenever it likes (also after the call, also when the callback returns false). `result` is
// the call's result value, the same in every piece. Returning false stops the read: no further
// piece comes and the call fails with "The read was stopped by the host".
struct QorvinPieceCallback {
  bool (*code)(void* object, int32_t result, QorvinAdoDataSet* piece);
  void* object;
};

}  // extern "C"

// {3D7B2E90-5C14-4F6A-8B2D-91E0C7A4F356}
inline constexpr IRemoteDataModule::Guid kQorvinIID_IQorvinPieceReader = {
    0x3D7B2E90, 0x5C14, 0x4F6A, {0x8B, 0x2D, 0x91, 0xE0, 0xC7, 0xA4, 0xF3, 0x56}};

class IQorvinPieceReader {
 public:
  // SynchReadData with the rows handed to `onPiece` as they are decoded instead of in a data
  // packet: the same request, the same result, error text, callbacks and failures. Every piece
  // holds at most `rowsPerPiece` rows (0 or less: kDefaultRowsPerPiece); their rows together
  // are the rows and values the data packet of SynchReadData holds, in its field types (the
  // module's data packet version decides them as it decides the packet's). A result with a
  // record set gives at least one piece (an empty result one without rows); a result without
  // one gives none. A failure found further on in the reply (damaged data, the inflation
  // budget) comes after the pieces before it were handed on. Without a callback (`code` null)
  // the rows are decoded and dropped.
  static constexpr int32_t kDefaultRowsPerPiece = 10000;
  virtual void SynchReadDataPieces(const char* userId, const char* hdhSerialNumber,
                                   const char* sqlCommand, int32_t rowsPerPiece,
                                   QorvinPieceCallback onPiece, int32_t* result,
                                   QorvinText* errorText) = 0;

 protected:
  ~IQorvinPieceReader() = default;
};

#endif  // QORVIN_PIECES_H
