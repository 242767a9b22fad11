// The bridge object. It owns every component of a running daemon; the process-wide
// pointer g_zelk lets the signal thread reach it. (The full object arrives with
// the bridge; until then only the exit path exists.)
#pragma once

class CZELK {
 public:
  [[noreturn]] void exitApp(int status);
};

extern CZELK* g_zelk;
