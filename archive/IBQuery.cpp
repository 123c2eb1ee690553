#include "archive/IBSQL.h"
#include "archive/ParameterBlocks.h"
#include "platform/Text.h"

namespace velmora {

bool TField::IsNull() const {
  if (query_->RecordCount() == 0) return true;
  return query_->sql_.Fields(index_).IsNull();
}

std::string TField::AsString() const {
  if (IsNull()) return "";
  return query_->sql_.Fields(index_).AsString();
}

int32_t TField::AsInteger() const {
  if (IsNull()) return 0;
  return query_->sql_.Fields(index_).AsInteger();
}

int64_t TField::AsInt64() const {
  if (IsNull()) return 0;
  return query_->sql_.Fields(index_).AsInt64();
}

TIBQuery::TIBQuery() = default;
TIBQuery::~TIBQuery() = default;

TIBDatabase* TIBQuery::Database() const noexcept { return sql_.Database(); }
void TIBQuery::SetDatabase(TIBDatabase* database) {
  Close();
  sql_.SetDatabase(database);
}
TIBTransaction* TIBQuery::Transaction() const noexcept { return sql_.Transaction(); }
void TIBQuery::SetTransaction(TIBTransaction* transaction) {
  Close();
  sql_.SetTransaction(transaction);
}

void TIBQuery::Run(bool open) {
  if (SQL.empty()) IBClientError(kIBEmptySQLStatement);
  sql_.SQL = SQL;
  sql_.ParamCheck = ParamCheck;
  sql_.ExecQuery();
  if (!open) return;
  fields_.clear();
  for (size_t i = 0; i < sql_.FieldCount(); ++i) fields_.push_back(TField(this, i, sql_.Fields(i).Name()));
  active_ = true;
}

void TIBQuery::Open() {
  if (active_) return;
  Run(true);
}

void TIBQuery::Close() noexcept {
  sql_.Close();
  active_ = false;
  fields_.clear();
}

void TIBQuery::SetActive(bool value) {
  if (value) {
    Open();
  } else {
    Close();
  }
}

void TIBQuery::ExecSQL() {
  Close();
  Run(false);
}

int TIBQuery::RecordCount() const noexcept { return active_ ? sql_.RecordCount() : 0; }

bool TIBQuery::Eof() const noexcept { return !active_ || sql_.Eof(); }

bool TIBQuery::Next() {
  if (!active_) return false;
  return sql_.Next();
}

TField* TIBQuery::FindField(std::string_view name) {
  for (TField& f : fields_) {
    if (EqualsNoCase(f.FieldName(), name)) return &f;
  }
  return nullptr;
}

TField& TIBQuery::FieldByName(std::string_view name) {
  TField* f = FindField(name);
  if (!f) throw EDatabaseError("Field '" + std::string(name) + "' not found");
  return *f;
}

}  // namespace velmora
