#include "tools/qorvin/PieceRows.h"

#include <utility>
#include <vector>

#include "tools/qorvin/RecordSets.h"

namespace qorvin::cli {

// Reads the pieces in turn, numbering the rows across them.
class PieceRead::Source final : public RowSource {
 public:
  explicit Source(std::shared_ptr<PieceRead> read) : read_(std::move(read)) {
    piece_ = read_->TakePiece();
    if (piece_) {
      columns_ = ColumnsOf(*piece_);
      Enter();
    }
  }
  const std::vector<Column>& Columns() const override { return columns_; }
  void Rewind() override {
    if (rows_ > 0) throw RunError("the rows of a read in pieces can be read only once");
  }
  bool Next(std::vector<Cell>& cells) override {
    while (piece_ && (piece_->Eof() || rowInPiece_ >= pieceRows_)) {
      piece_ = read_->TakePiece();
      if (piece_) Enter();
    }
    if (!piece_) {
      const PieceCallEnd& end = read_->End();
      if (end.failed) throw RunError(end.error);
      return false;
    }
    if (rowInPiece_ > 0) piece_->Next();
    if (piece_->Eof()) return Next(cells);
    ++rowInPiece_;
    ReadCells(*piece_, columns_, ++rows_, cells);
    return true;
  }

 private:
  // The piece just taken, before its first row.
  void Enter() {
    piece_->First();
    rowInPiece_ = 0;
    // Bounded by the row count the record set reports, should its cursor misbehave.
    pieceRows_ = piece_->RecordCount();
  }

  std::shared_ptr<PieceRead> read_;
  RecordSetPtr piece_;
  std::vector<Column> columns_;
  int64_t rowInPiece_ = 0, pieceRows_ = 0;
  int64_t rows_ = 0;  // rows read so far
};

PieceRead::PieceRead(Call call) {
  thread_ = std::thread([this, call = std::move(call)] {
    PieceCallEnd end;
    try {
      call(QorvinPieceCallback{&PieceRead::OnPiece, this}, end);
    } catch (const std::exception& e) {
      end.failed = true;
      end.error = e.what();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    end_ = std::move(end);
    over_ = true;
    changed_.notify_all();
  });
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return hasRows_ || over_; });
}

PieceRead::~PieceRead() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    abandoned_ = true;
    pieces_.clear();
    changed_.notify_all();
  }
  thread_.join();
}

bool PieceRead::OnPiece(void* self, int32_t result, QorvinAdoDataSet* piece) {
  auto& read = *static_cast<PieceRead*>(self);
  RecordSetPtr owned(piece);
  std::unique_lock<std::mutex> lock(read.mutex_);
  read.changed_.wait(lock,
                     [&read] { return read.abandoned_ || read.pieces_.size() < kPiecesAhead; });
  if (read.abandoned_) return false;
  read.pieces_.push_back(std::move(owned));
  if (!read.hasRows_) read.result_ = result;
  read.hasRows_ = true;
  read.changed_.notify_all();
  return true;
}

RecordSetPtr PieceRead::TakePiece() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !pieces_.empty() || over_; });
  if (pieces_.empty()) return nullptr;
  RecordSetPtr piece = std::move(pieces_.front());
  pieces_.pop_front();
  changed_.notify_all();
  return piece;
}

std::shared_ptr<RowSource> PieceRead::Rows(std::shared_ptr<PieceRead> read) {
  return std::make_shared<Source>(std::move(read));
}

}  // namespace qorvin::cli
