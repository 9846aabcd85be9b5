// Holds the update client library for a process's update work.
//
// The constructor loads "QxUpdate.dll" from ORVEL_HOME + "\bin"; Init loads it again from a home
// folder given by the caller. Each successful load is one reference to the client, and the
// destructor gives back every reference the object took, so the client stays loaded exactly as
// long as some holder lives. Failures are written to standard output: the product's processes
// show them on their console.
#pragma once

#include <string>

#pragma GCC visibility push(default)

class QxUpdateInit {
 public:
  QxUpdateInit();
  ~QxUpdateInit();
  QxUpdateInit(const QxUpdateInit&) = delete;
  QxUpdateInit& operator=(const QxUpdateInit&) = delete;

  // Loads the client from home + "\bin". True when loaded; on failure writes
  // "Load KF Library failed" and clears ok().
  bool Init(const std::string& home);

  // False when ORVEL_HOME was missing or a load failed.
  bool ok() const { return m_ok; }

 private:
  bool _load(const std::string& home);

  bool m_ok;
  std::string m_sep;
  // References to the client this object took and gives back when it goes.
  unsigned m_references;
};

#pragma GCC visibility pop
