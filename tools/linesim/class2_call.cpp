#include "session.h"
namespace quillon::linesim {
CallResult runClass2(const Options &, PtyPort &) { return {}; }
}
