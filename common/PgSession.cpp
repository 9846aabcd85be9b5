#include <strings.h>

#include <cctype>
#include <cstring>
#include <vector>

#include "OrvelCommon/Log.h"
#include "PgBackend.h"

namespace ORVEL {

namespace {

void logNotice(void*, const char* message) { Log::Debug("PostgreSQL: %s", message); }

// A dollar-quote opener at p ("$$" or "$tag$"); its length, or 0.
std::size_t dollarTagLength(const char* p) {
  if (*p != '$') return 0;
  std::size_t n = 1;
  while (std::isalnum(static_cast<unsigned char>(p[n])) || p[n] == '_') ++n;
  if (p[n] != '$' || (n > 1 && std::isdigit(static_cast<unsigned char>(p[1])))) return 0;
  return n + 1;
}

// Copies a quoted run starting at p (the opening quote) up to and including its closing quote;
// doubled quotes inside stay part of the run.
const char* copyQuoted(const char* p, char quote, std::string& out) {
  out += *p++;
  while (*p) {
    out += *p;
    if (*p++ == quote) {
      if (*p != quote) return p;
      out += *p++;
    }
  }
  return p;
}

const char* copyUntil(const char* p, const char* end, std::string& out) {
  const char* stop = std::strstr(p, end);
  const char* next = stop ? stop + std::strlen(end) : p + std::strlen(p);
  out.append(p, next);
  return next;
}

std::string trimmed(const char* text) {
  std::string s = text ? text : "";
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
  return s;
}

}  // namespace

std::string numberPlaceholders(const char* sql, int& count) {
  std::string out;
  count = 0;
  const char* p = sql ? sql : "";
  while (*p) {
    if (*p == '\'' || *p == '"') {
      p = copyQuoted(p, *p, out);
    } else if (p[0] == '-' && p[1] == '-') {
      p = copyUntil(p, "\n", out);
    } else if (p[0] == '/' && p[1] == '*') {
      p = copyUntil(p, "*/", out);
    } else if (std::size_t tag = dollarTagLength(p)) {
      const std::string opener(p, tag);
      out += opener;
      p = copyUntil(p + tag, opener.c_str(), out);
    } else if (*p == '?') {
      out += "$" + std::to_string(++count);
      ++p;
    } else {
      out += *p++;
    }
  }
  return out;
}

bool isInsertStatement(const char* sql) {
  const char* p = sql ? sql : "";
  while (std::isspace(static_cast<unsigned char>(*p)) || *p == '(') ++p;
  return strncasecmp(p, "insert", 6) == 0 && !std::isalnum(static_cast<unsigned char>(p[6]));
}

std::unique_ptr<DBSession> openPostgresSession(const std::string& conninfo, const char* uid,
                                               const char* passwd, const char* database,
                                               int connectTimeoutSeconds, std::string& error) {
  const std::string timeout = std::to_string(connectTimeoutSeconds > 0 ? connectTimeoutSeconds : 0);
  // The server settings come first, expanded from the connection text; the separate user,
  // password and database name follow and win (empty ones are skipped by libpq).
  std::vector<const char*> keys = {
      "dbname",           "user", "password", "dbname", "connect_timeout", "client_encoding",
      "application_name", nullptr};
  std::vector<const char*> values = {conninfo.c_str(),
                                     uid ? uid : "",
                                     passwd ? passwd : "",
                                     database ? database : "",
                                     timeout.c_str(),
                                     "UTF8",
                                     "orvelkf",
                                     nullptr};
  PgConnHandle conn(PQconnectdbParams(keys.data(), values.data(), 1));
  if (!conn || PQstatus(conn.get()) != CONNECTION_OK) {
    error = conn ? trimmed(PQerrorMessage(conn.get())) : "out of memory";
    return nullptr;
  }
  PQsetNoticeProcessor(conn.get(), logNotice, nullptr);
  auto session = std::make_unique<PgSession>(std::move(conn));
  // Date-times are read as text; fix their form whatever the server's default is.
  if (session->executeScript("SET DateStyle TO ISO, YMD", error) != 0) return nullptr;
  return session;
}

PgSession::PgSession(PgConnHandle conn) : m_conn(std::move(conn)) {}

std::string PgSession::errorText() const { return trimmed(PQerrorMessage(m_conn.get())); }

std::unique_ptr<QxDBStatement> PgSession::prepare(const char* sql, std::string& error) {
  int paramCount = 0;
  std::string text = numberPlaceholders(sql, paramCount);
  if (prepareUnnamed(text, paramCount, error) != 0) return nullptr;
  return std::make_unique<PgStatement>(*this, std::move(text), paramCount, isInsertStatement(sql));
}

int PgSession::prepareUnnamed(const std::string& sql, int paramCount, std::string& error) {
  PgResultHandle result(PQprepare(m_conn.get(), "", sql.c_str(), paramCount, nullptr));
  if (!result || PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
    error = errorText();
    return -1;
  }
  return 0;
}

int PgSession::_command(const char* sql, std::string& error) {
  PgResultHandle result(PQexec(m_conn.get(), sql));
  const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return 0;
  error = errorText();
  return -1;
}

int PgSession::executeScript(const char* sql, std::string& error) { return _command(sql, error); }

int PgSession::begin(std::string& error) { return _command("BEGIN", error); }

int PgSession::commit(std::string& error) {
  const PGTransactionStatusType status = PQtransactionStatus(m_conn.get());
  if (status == PQTRANS_INERROR) {
    std::string ignored;
    _command("ROLLBACK", ignored);
  }
  if (status != PQTRANS_INTRANS) {
    error = "the transaction was rolled back by the database";
    return -1;
  }
  PgResultHandle result(PQexec(m_conn.get(), "COMMIT"));
  if (!result || PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
    error = errorText();
    return -1;
  }
  // A deferred constraint can still fail the commit; the server then answers ROLLBACK.
  if (std::strcmp(PQcmdStatus(result.get()), "COMMIT") != 0) {
    error = "the transaction was rolled back by the database";
    return -1;
  }
  return 0;
}

int PgSession::rollback(std::string& error) {
  if (!inTransaction()) return 0;
  return _command("ROLLBACK", error);
}

bool PgSession::inTransaction() const {
  const PGTransactionStatusType status = PQtransactionStatus(m_conn.get());
  return status == PQTRANS_INTRANS || status == PQTRANS_INERROR || status == PQTRANS_ACTIVE;
}

bool PgSession::transactionUsable() const {
  return PQtransactionStatus(m_conn.get()) == PQTRANS_INTRANS;
}

}  // namespace ORVEL
