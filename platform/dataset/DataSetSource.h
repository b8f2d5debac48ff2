// Read access to any dataset's field definitions and rows, by row number. The data packet writer
// and the dataset provider read datasets through it, so that a packet can be made from the
// client dataset, the ADO-style record set (through an adapter) or a test double alike.
//
// Implementations answer from their current content; callers must not change the dataset while
// they read it. Not thread-safe unless the implementation says so.
#pragma once

#include <cstdint>

#include "platform/dataset/ClientFieldDef.h"
#include "platform/rtl/Variant.h"

namespace qorvin {

class IDataSetSource {
 public:
  virtual ~IDataSetSource() = default;

  virtual bool Active() const = 0;
  virtual int FieldCount() const = 0;
  // 0 <= index < FieldCount().
  virtual TClientFieldDef FieldDefAt(int index) const = 0;
  virtual int64_t RecordCount() const = 0;
  // The value of one field of one row (0 <= row < RecordCount()), in any variant kind that
  // converts to the field's type (see FieldValue.h); Null for NULL.
  virtual Variant ValueAt(int64_t row, int field) const = 0;
  // The stored value itself when the source keeps Variants (valid until the source changes), so
  // that readers need not copy it; null when the source makes its values on demand.
  virtual const Variant* ValueRef(int64_t /*row*/, int /*field*/) const { return nullptr; }
};

}  // namespace qorvin
