// The buffers a prepared statement shares between its lifecycle
// (archive/IBSQL.cpp), its column decoding (archive/IBColumns.cpp) and the
// query object (archive/IBQuery.cpp). Not part of the layer's interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/FbClient.h"
#include "archive/IBSQL.h"

namespace velmora {

// One output column: its description and its value buffer.
struct IBColumn {
  short type = 0;  // sqltype without the nullable bit
  short scale = 0;
  short subtype = 0;
  short length = 0;
  std::vector<int64_t> data;  // 8-byte aligned value buffer
  std::string name;
  char* Bytes() { return reinterpret_cast<char*>(data.data()); }
};

// An XSQLDA with room for n variables, in aligned storage it owns.
class Sqlda {
 public:
  void Allocate(int n) {
    if (n < 1) n = 1;
    size_t bytes = XSQLDA_LENGTH(n);
    storage_.assign((bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t), std::max_align_t{});
    Get()->version = SQLDA_VERSION1;
    Get()->sqln = static_cast<ISC_SHORT>(n);
  }
  XSQLDA* Get() { return storage_.empty() ? nullptr : reinterpret_cast<XSQLDA*>(storage_.data()); }

 private:
  std::vector<std::max_align_t> storage_;
};

struct TIBSQL::Buffers {
  Sqlda out;
  std::vector<IBColumn> columns;
  std::vector<short> indicators;
  Sqlda in;
  std::vector<std::string> inValues;
  std::vector<short> inIndicators;
};

}  // namespace velmora
