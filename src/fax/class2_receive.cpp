// Class 2 and 2.0 receive. The command layer of those classes (the class command table,
// +F reports, DC2 page data) is not built yet: a modem of those classes is refused at
// preparation and start with -8063 "Error while initializing modem", so that a session
// never runs on a command set it cannot speak. Class 1 is unaffected; select it with
// FaxClass = fcClass1 on a modem that offers several classes.

#include "fax/fax_session.h"

namespace quillon::fax {

bool TFaxSession::Class2Prepare() {
    ReportError(kErrFaxInitError);
    return false;
}

bool TFaxSession::Class2StartCommands() {
    ReportError(kErrFaxInitError);
    return false;
}

void TFaxSession::Class2Init() {
    ReportError(kErrFaxInitError);
    SetState(rfAbort);
}

void TFaxSession::Class2Action(bool /*dataEvent*/, bool /*timerEvent*/) {
    ReportError(kErrFaxInitError);
    SetState(rfAbort);
}

void TFaxSession::Class2PageEnded() {
    SetState(rfAbort);
}

} // namespace quillon::fax
