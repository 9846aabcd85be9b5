// How a failure travels inside the update client: as a ClientError carrying
// the result code, the particular part of the detail code and an English text
// with the particulars. The exported functions turn it back into a code.
#pragma once

#include <exception>
#include <string>

namespace QxuClient {

class ClientError : public std::exception {
 public:
  ClientError(int result, unsigned particular, std::string text);

  int result() const { return m_result; }
  unsigned detail() const { return m_detail; }
  const std::string& text() const { return m_text; }
  const char* what() const noexcept override { return m_text.c_str(); }

 private:
  int m_result;
  unsigned m_detail;
  std::string m_text;
};

[[noreturn]] void fail(int result, const std::string& text, unsigned particular = 0);

// The fixed text of a result code, English or Japanese (UTF-8); unknown codes
// get a text that names the number.
std::string resultText(int code, bool japanese);

// The message code page last set through "MsgCodePage" (any context or the
// process-wide defaults); 932 selects Japanese texts.
void setMessageCodePage(int codePage);
bool japaneseMessages();

}  // namespace QxuClient
