#include "archive/ParameterBlocks.h"

#include <array>
#include <charconv>
#include <cstdint>

#include "archive/SQLText.h"
#include "platform/CodePage.h"
#include "platform/Text.h"

namespace velmora {

namespace {

// The isc_dpb_* names of <ibase.h>, index = number - 1.
constexpr std::array<std::string_view, 88> kDPBNames = {
    "cdd_pathname",
    "allocation",
    "journal",
    "page_size",
    "num_buffers",
    "buffer_length",
    "debug",
    "garbage_collect",
    "verify",
    "sweep",
    "enable_journal",
    "disable_journal",
    "dbkey_scope",
    "number_of_users",
    "trace",
    "no_garbage_collect",
    "damaged",
    "license",
    "sys_user_name",
    "encrypt_key",
    "activate_shadow",
    "sweep_interval",
    "delete_shadow",
    "force_write",
    "begin_log",
    "quit_log",
    "no_reserve",
    "user_name",
    "password",
    "password_enc",
    "sys_user_name_enc",
    "interp",
    "online_dump",
    "old_file_size",
    "old_num_files",
    "old_file",
    "old_start_page",
    "old_start_seqno",
    "old_start_file",
    "drop_walfile",
    "old_dump_id",
    "wal_backup_dir",
    "wal_chkptlen",
    "wal_numbufs",
    "wal_bufsize",
    "wal_grp_cmt_wait",
    "lc_messages",
    "lc_ctype",
    "cache_manager",
    "shutdown",
    "online",
    "shutdown_delay",
    "reserved",
    "overwrite",
    "sec_attach",
    "disable_wal",
    "connect_timeout",
    "dummy_packet_interval",
    "gbak_attach",
    "sql_role_name",
    "set_page_buffers",
    "working_directory",
    "sql_dialect",
    "set_db_readonly",
    "set_db_sql_dialect",
    "gfix_attach",
    "gstat_attach",
    "set_db_charset",
    "gsec_attach",
    "address_path",
    "process_id",
    "no_db_triggers",
    "trusted_auth",
    "process_name",
    "trusted_role",
    "org_filename",
    "utf8_filename",
    "ext_call_depth",
    "auth_block",
    "client_version",
    "remote_protocol",
    "host_name",
    "os_user",
    "specific_auth_data",
    "auth_plugin_list",
    "auth_plugin_name",
    "config",
    "nolinger",
};

enum class DPBKind { Unsupported, Text, Integer, Flag };

DPBKind KindOf(int number) {
  switch (number) {
    // Texts: a string of bytes in the connection's code page.
    case 18:
    case 19:
    case 20:
    case 28:
    case 29:
    case 30:
    case 31:
    case 47:
    case 48:
    case 60:
    case 62:
    case 74:
    case 76:
    case 82:
    case 83:
    case 85:
    case 87:
      return DPBKind::Text;
    // Integers: four bytes, low byte first.
    case 4:
    case 5:
    case 22:
    case 24:
    case 57:
    case 58:
    case 61:
    case 63:
    case 65:
    case 71:
      return DPBKind::Integer;
    // Switches carrying one byte.
    case 8:
    case 16:
    case 54:
    case 64:
    case 72:
    case 88:
      return DPBKind::Flag;
    default:
      return DPBKind::Unsupported;
  }
}

constexpr std::array<std::string_view, 23> kTPBNames = {
    "consistency",      "concurrency",  "shared",         "protected",   "exclusive",   "wait",
    "nowait",           "read",         "write",          "lock_read",   "lock_write",  "verb_time",
    "commit_time",      "ignore_limbo", "read_committed", "autocommit",  "rec_version", "no_rec_version",
    "restart_requests", "no_auto_undo", "no_savepoint",   "exclusivity", "wait_time",
};

void SplitLine(std::string_view line, std::string_view& name, std::string_view& value) {
  size_t eq = line.find('=');
  if (eq == std::string_view::npos) {
    name = line;
    value = {};
  } else {
    name = line.substr(0, eq);
    value = line.substr(eq + 1);
  }
}

std::string StripPrefix(std::string_view name, std::string_view prefix) {
  std::string lower = LowerAscii(name);
  if (lower.compare(0, prefix.size(), prefix) == 0) lower.erase(0, prefix.size());
  return lower;
}

void AppendCounted(std::string& block, int number, std::string_view bytes) {
  block += static_cast<char>(number);
  block += static_cast<char>(bytes.size());
  block.append(bytes);
}

void AppendInt32(std::string& block, int number, std::string_view text, std::string_view lineName) {
  std::string_view t = Trim(text, kControlsAndSpace);
  int64_t v = 0;
  auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
  if (t.empty() || ec != std::errc() || p != t.data() + t.size() || v < INT32_MIN || v > UINT32_MAX)
    IBClientError(kIBTextNotSendable, std::string("value of ") + std::string(lineName) + " is not a number");
  uint32_t u = static_cast<uint32_t>(v);
  block += static_cast<char>(number);
  block += static_cast<char>(4);
  for (int i = 0; i < 4; ++i) block += static_cast<char>((u >> (8 * i)) & 0xFF);
}

}  // namespace

std::string IBClientErrorMessage(IBClientErrorNumber number, std::string_view arg) {
  std::string a(arg);
  switch (number) {
    case kIBLibraryNotFound:
      return "InterBase library " + a +
             " not found in the path. Please install InterBase to use this functionality";
    case kIBNotPermitted:
      return "Not permitted";
    case kIBDPBUnsupported:
      return "DPB Constant (isc_dpb_" + a + ") is unsupported";
    case kIBTPBUnknown:
      return "TPB Constant (" + a + ") is unknown";
    case kIBTPBUnsupported:
      return "TPB Constant (isc_tpb_" + a + ") is unsupported";
    case kIBDatabaseClosed:
      return "Cannot perform operation -- DB is not open";
    case kIBDatabaseOpen:
      return "Cannot perform operation -- DB is currently open";
    case kIBDatabaseNameMissing:
      return "Database name is missing";
    case kIBNotInTransaction:
      return "Transaction is not active";
    case kIBInTransaction:
      return "Transaction is active";
    case kIBNoDatabasesInTransaction:
      return "No databases are listed in transaction component";
    case kIBDatabaseNotAssigned:
      return "Database not assigned";
    case kIBTransactionNotAssigned:
      return "Transaction not assigned";
    case kIBInvalidDataConversion:
      return "Invalid data conversion";
    case kIBEmptyQuery:
      return "Empty query";
    case kIBFieldNotFound:
      return "Field \"" + a + "\" not found";
    case kIBSQLParseError:
      return "SQL Parse Error:\r\n\r\n" + a;
    case kIBEmptySQLStatement:
      return "Empty SQL Statement";
    case kIBSQLDialectInvalid:
      return "SQL Dialect Invalid";
    case kIBDPBUnknown:
      return "DPB Constant (" + a + ") is unknown";
    case kIBTextNotSendable:
      return "Text cannot be sent to the database: " + a;
    case kIBValueTooLong:
      return "Parameter value too long (more than 255 bytes): " + a;
    case kIBParamIndex:
      return "Parameter index out of range: " + a;
    case kIBLibraryIncomplete:
      return "InterBase library entry point not found: " + a;
  }
  return "Unknown client error " + std::to_string(static_cast<int>(number));
}

void IBClientError(IBClientErrorNumber number, std::string_view arg) {
  throw EIBClientError(IBClientErrorMessage(number, arg), number, 0);
}

std::string ToClientText(std::string_view utf8, std::string_view what) {
  if (!IsValidUtf8(utf8)) IBClientError(kIBTextNotSendable, std::string(what) + " is not valid UTF-8");
  if (utf8.find('\0') != std::string_view::npos)
    IBClientError(kIBTextNotSendable, std::string(what) + " contains a NUL byte");
  std::string bytes = Utf8ToCp1252(utf8);
  if (Cp1252ToUtf8(bytes) != utf8)
    IBClientError(kIBTextNotSendable, std::string(what) + " has a character outside Windows-1252");
  return bytes;
}

unsigned short ClientTextLength(const std::string& clientText) noexcept {
  return clientText.size() < 65536 ? static_cast<unsigned short>(clientText.size()) : 0;
}

int DPBConstantNumber(std::string_view name) {
  for (size_t i = 0; i < kDPBNames.size(); ++i) {
    if (EqualsNoCase(kDPBNames[i], name)) return static_cast<int>(i) + 1;
  }
  return 0;
}

std::string BuildDPB(const std::vector<std::string>& params) {
  std::string block(1, static_cast<char>(1));  // isc_dpb_version1
  for (const std::string& raw : params) {
    std::string_view line = Trim(raw, kControlsAndSpace);
    if (line.empty()) continue;
    std::string_view namePart, value;
    SplitLine(line, namePart, value);
    std::string name = StripPrefix(namePart, "isc_dpb_");
    int number = DPBConstantNumber(name);
    if (number == 0) IBClientError(kIBDPBUnknown, namePart);
    switch (KindOf(number)) {
      case DPBKind::Text: {
        std::string bytes = ToClientText(value, "value of isc_dpb_" + name);
        if (bytes.size() > 255) IBClientError(kIBValueTooLong, "isc_dpb_" + name);
        AppendCounted(block, number, bytes);
        break;
      }
      case DPBKind::Integer:
        AppendInt32(block, number, value, namePart);
        break;
      case DPBKind::Flag: {
        std::string_view t = Trim(value, kControlsAndSpace);
        int v = 0;
        if (!t.empty()) {
          auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
          if (ec != std::errc() || p != t.data() + t.size() || v < 0 || v > 255)
            IBClientError(kIBTextNotSendable, "value of isc_dpb_" + name + " is not a byte");
        }
        block += static_cast<char>(number);
        block += static_cast<char>(1);
        block += static_cast<char>(v);
        break;
      }
      case DPBKind::Unsupported:
        IBClientError(kIBDPBUnsupported, name);
    }
  }
  return block;
}

std::string_view TransactionOptionName(int number) {
  if (number < 1 || number > static_cast<int>(kTPBNames.size())) return {};
  return kTPBNames[number - 1];
}

int TransactionOptionNumber(std::string_view name) {
  for (size_t i = 0; i < kTPBNames.size(); ++i) {
    if (EqualsNoCase(kTPBNames[i], name)) return static_cast<int>(i) + 1;
  }
  return 0;
}

std::string BuildTPB(const std::vector<std::string>& params) {
  std::string block;
  for (const std::string& raw : params) {
    std::string_view line = Trim(raw, kControlsAndSpace);
    if (line.empty()) continue;
    if (block.empty()) block += static_cast<char>(3);  // isc_tpb_version3
    std::string_view namePart, value;
    SplitLine(line, namePart, value);
    std::string name = StripPrefix(Trim(namePart, kControlsAndSpace), "isc_tpb_");
    int number = TransactionOptionNumber(name);
    if (number == 0) IBClientError(kIBTPBUnknown, namePart);
    switch (number) {
      case 10:
      case 11: {
        std::string bytes = ToClientText(value, "value of isc_tpb_" + name);
        if (bytes.size() > 255) IBClientError(kIBValueTooLong, "isc_tpb_" + name);
        block += static_cast<char>(number);
        block += static_cast<char>(bytes.size());
        block += bytes;
        break;
      }
      case 23:
        AppendInt32(block, number, value, namePart);
        break;
      case 12:
      case 13:
      case 16:
        IBClientError(kIBTPBUnsupported, name);
      default:
        block += static_cast<char>(number);
    }
  }
  return block;
}

bool ParamsHaveUserName(const std::vector<std::string>& params) {
  for (const std::string& raw : params) {
    std::string_view line = Trim(raw, kControlsAndSpace);
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    // The name part as the attach request reads it (not trimmed again).
    std::string name = StripPrefix(line.substr(0, eq), "isc_dpb_");
    if (name == "user_name" && !line.substr(eq + 1).empty()) return true;
  }
  return false;
}

std::string CreateDatabaseStatement(const std::string& databaseName, const std::vector<std::string>& params) {
  // A quote inside the name is doubled so that the name stays one literal.
  std::string text = "CREATE DATABASE " + QuotedSQLText(databaseName) + " ";
  for (const std::string& line : params) text += line + "\r\n";
  // Every line break (CR LF, CR or LF) becomes one blank.
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out += ' ';
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (text[i] == '\n') {
      out += ' ';
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string JoinErrorLines(const std::vector<std::string>& lines) {
  std::string message;
  for (const std::string& line : lines) {
    if (!message.empty() && message.back() != '\n') message += "\r\n";
    message += line;
  }
  if (!message.empty() && message.back() == '.') message.pop_back();
  return message;
}

void RaiseIBError(const std::string& message, int32_t sqlCode, int32_t ibErrorCode) {
  if (sqlCode == -551) throw EIBInterBaseRoleError(message, sqlCode, ibErrorCode);
  throw EIBInterBaseError(message, sqlCode, ibErrorCode);
}

}  // namespace velmora
