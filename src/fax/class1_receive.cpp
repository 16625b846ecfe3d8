// The Class 1 receive states: the engine runs T.30 itself. It sends CSI and DIS, collects
// the caller's TSI and DCS, checks the training (TCF), confirms it with CFR or rejects it
// with FTT, receives each page with "AT+FRM=", answers the post-page message with MCF and
// waits for DCN. HDLC frames arriving meanwhile have already been decoded by the collection
// step of the handler pass.

#include "fax/fax_session.h"

namespace quillon::fax {

void TFaxSession::Class1Action(bool dataEvent, bool timerEvent) {
    comm::TBaseDispatcher *d = disp_.load();
    const std::string &line = line_;
    const bool softwareFlow = (Settings().options & kOptSoftwareFlow) != 0;
    auto ok = [&] { return LineHas(line, "OK"); };
    auto connect = [&] { return LineHas(line, "CONNECT"); };
    auto carrierLost = [&] { return LineHas(line, "RRIER"); };

    switch (state_) {
    case rf1Init1:
        if (ok()) {
            SwitchToSessionSpeed();
            DisarmStateTimer();
            SetProgress(progWaitingCall);
            SetState(rfWaiting);
        } else {
            ReportError(kErrFaxInitError);
            SetState(rfAbort);
        }
        break;

    case rf1SendCSI:
        if (connect()) {
            std::array<uint8_t, 20> info = CsiInfo(Settings().stationId);
            SendFrame(kFcfCsi, false, info);
            ResetReply();
            SetState(rf1SendDIS);
        } else {
            ResetReply();
        }
        break;

    case rf1SendDIS:
        if (connect()) {
            std::array<uint8_t, 4> info = DisInfo(modIndex_.load());
            SendFrame(kFcfDis, true, info);
            ResetReply();
        } else if (ok()) {
            Delay(kTurnaroundDelayMs);
            Delay(kTurnaroundDelayMs);
            SendFastCommand("AT+FRH=3");
            ArmStateTimer(kFrameWaitTicks);
            SetState(rf1CollFrms);
        } else {
            ResetReply();
        }
        break;

    case rf1CollFrms:
        if (connect()) {
            ResetReply(); // a frame follows
        } else if (ok() && finalFrameSeen_) {
            if (softwareFlow && d != nullptr) {
                NoteFailure(d->SetSoftwareFlow(6144, 2048, 2));
            }
            SendFastCommand("AT+FRM=" + currentModulation_);
            SetReplyTimer(replyTimeoutTicks_);
            SetState(rf1StrtTrn);
        } else if (ok()) {
            SendFastCommand("AT+FRH=3");
        } else {
            ResetReply();
        }
        break;

    case rf1CollRtry1:
        ++retryCount_;
        if (retryCount_ > 3) {
            ReportError(kErrFatalTimeout);
            SetState(rfAbort);
        } else {
            // "AT", CR, CR: any character ends the modem's pending receive command.
            SendCommand("AT\r");
            SetState(rf1CollRtry2);
        }
        break;

    case rf1CollRtry2:
        SendFastCommand("AT+FTH=3");
        SetState(rf1SendCSI);
        break;

    case rf1StrtTrn:
        if (connect()) {
            trainBytes_ = 0;
            trainNonZero_ = 0;
            trainDle_ = false;
            SetReplyTimer(replyTimeoutTicks_);
            // The state timer bounds the training too, so a silent modem cannot stall here.
            ArmStateTimer(replyTimeoutTicks_);
            SetState(rf1CollTrn);
        } else {
            ResetReply();
        }
        break;

    case rf1CollTrn:
        if (timerEvent) {
            // No training end within the reply time-out: the call fails, and says so.
            ReportError(kErrFatalTimeout);
            SetState(rfAbort);
        } else {
            TrainingCheck(dataEvent);
        }
        break;

    case rf1Retrain:
        if (connect()) {
            SendFrame(kFcfFtt, true);
            // At 2400 there is no lower rate to try: the call ends, but only after the modem
            // has said the FTT is out (its OK), so that the hang-up does not purge it.
            trainingGivenUp_ = currentModulation_ == "24";
            ResetReply();
        } else if (ok() && trainingGivenUp_) {
            trainingGivenUp_ = false;
            ReportError(kErrFaxTrainError);
            SetState(rfAbort);
        } else if (ok()) {
            SendFastCommand("AT+FRH=3"); // the caller sends a new DCS and training
            SetState(rf1CollFrms);
        } else {
            ResetReply();
        }
        break;

    case rf1FinTrn:
        if (carrierLost()) {
            if (softwareFlow && d != nullptr) {
                NoteFailure(d->ClearSoftwareFlow());
            }
            Delay(kFrameDelayMs);
            SendFastCommand("AT+FTH=3");
            SetState(rf1SendCFR);
        } else {
            ResetReply();
        }
        break;

    case rf1SendCFR:
        if (connect()) {
            if (softwareFlow && d != nullptr) {
                NoteFailure(d->SetSoftwareFlow(6144, 2048, 2));
            }
            SendFrame(kFcfCfr, true);
            ResetReply();
        } else if (ok()) {
            SendFastCommand("AT+FRM=" + std::string(RateEntry(modIndex_.load()).firstPage));
            AcceptAndOpen();
        } else {
            ResetReply();
        }
        break;

    case rf1WtPgCnnct:
        if (connect()) {
            SetProgress(progSessionParams);
            statusChanged_ = true;
            SetState(rfStartPage);
        } else {
            ResetReply();
        }
        break;

    case rf1FinPage:
        if (carrierLost()) {
            SendFastCommand("AT+FRH=3");
            SetState(rf1WaitEOP);
        } else {
            ResetReply();
        }
        break;

    case rf1WaitEOP:
        if (connect()) {
            ResetReply(); // a frame follows
        } else if (ok() && finalFrameSeen_) {
            finalFrameSeen_ = false;
            uint8_t code = lastFrameCode_ & 0xFE;
            morePages_ = code == kFcfMps || code == kFcfEom;
            eom_ = code == kFcfEom;
            SetProgress(progEndOfPage);
            pageConfirmed_ = true;
            statusChanged_ = true;
            SetState(rf1WritePage);
        } else if (ok()) {
            SendFastCommand("AT+FRH=3");
        } else {
            ResetReply();
        }
        break;

    case rf1WritePage: {
        int32_t rc = file_.EndPage();
        if (rc != 0) {
            // The page could not be counted: the call fails, and says why.
            ReportError(rc);
            SetState(rfAbort);
            break;
        }
        SendFastCommand("AT+FTH=3");
        SetProgress(progEndOfDocument);
        pageConfirmed_ = true;
        statusChanged_ = true;
        SetState(rf1SendMCF);
        break;
    }

    case rf1SendMCF:
        if (connect()) {
            if (eom_ && morePages_) {
                // CSI and DIS follow in the same transmission.
                SendFrame(kFcfMcf, false);
                ResetReply();
                SetState(rf1SendCSI);
            } else {
                SendFrame(kFcfMcf, true);
                ResetReply();
            }
        } else if (ok() && morePages_ && eom_) {
            Delay(kTurnaroundDelayMs);
            SendFastCommand("AT+FTH=3");
            SetState(rf1SendCSI);
        } else if (ok() && morePages_) {
            // V.17 callers send every page after a confirmation with the short training of
            // the first page (T.30, 5.3.2: the long training belongs to TCF), so the later
            // pages are received with the first-page digits too ("146", not "145").
            SendFastCommand("AT+FRM=" + std::string(RateEntry(modIndex_.load()).firstPage));
            fileState_ = 2;
            // As for the first page, the page starts when the modem reports the carrier;
            // its result line is never taken for image data.
            SetState(rf1WtPgCnnct);
        } else if (ok()) {
            Delay(kTurnaroundDelayMs);
            SendFastCommand("AT+FRH=3");
            CloseFaxFile();
            SendLog(lfaxReceiveOK);
            SetProgress(progWaitingHangup);
            statusChanged_ = true;
            SetState(rf1WaitDCN);
        } else {
            ResetReply();
        }
        break;

    case rf1WaitDCN:
        if (connect()) {
            ResetReply();
        } else if (ok() && finalFrameSeen_) {
            SendCommand("ATH");
            SetState(rf1WtHngp);
        } else if (ok()) {
            SendFastCommand("AT+FRH=3");
        } else {
            ResetReply();
        }
        break;

    case rf1WtHngp:
        if (ok()) {
            SetProgress(progGotHangupCode);
            statusChanged_ = true;
            SetState(rfComplete);
        } else {
            ResetReply();
        }
        break;

    default:
        break;
    }
}

// The caller's TCF is zeros; a line with 10 percent or more non-zero bytes is a failed
// training. The DLE ETX that ends the training data may arrive in a later pass than its DLE.
void TFaxSession::TrainingCheck(bool dataEvent) {
    comm::TBaseDispatcher *d = disp_.load();
    bool ended = false;
    if (dataEvent && d != nullptr) {
        NoteFailure(d->YieldSlice());
        while (d->InputReady() && !ReplyExpired()) {
            int b = d->ReadByte();
            if (b < 0) {
                break;
            }
            if (trainDle_) {
                trainDle_ = false;
                if (b == 0x03) {
                    ended = true;
                    break;
                }
                continue;
            }
            ++trainBytes_;
            if (b != 0) {
                ++trainNonZero_;
            }
            if (b == 0x10) {
                if (!d->InputReady()) {
                    trainDle_ = true;
                    break;
                }
                int next = d->ReadByte();
                if (next == 0x03) {
                    ended = true;
                    break;
                }
            }
        }
    }
    if (ended) {
        uint32_t ratio = trainBytes_ == 0 ? 100 : uint32_t{trainNonZero_} * 100 / trainBytes_;
        ratio &= 0xFFFF;
        if (ratio < static_cast<uint32_t>(kTrainingThresholdPercent)) {
            ResetReply();
            SetState(rf1FinTrn);
        } else {
            SendFastCommand("AT+FTH=3");
            SetState(rf1Retrain);
        }
        return;
    }
    if (ReplyExpired()) {
        ReportError(kErrFatalTimeout);
        SetState(rfAbort);
    }
}

void TFaxSession::AcceptAndOpen() {
    bool accepted = AskAccept();
    if (accepted && fileState_ == 3) {
        int32_t rc = OpenFaxFile();
        if (rc != 0) {
            ReportError(rc);
            SetState(rfAbort);
            return;
        }
        SendLog(lfaxReceiveStart);
        fileState_ = 2;
        currentPage_.store(0);
        SetState(rf1WtPgCnnct);
    } else if (accepted) {
        SetState(rf1WtPgCnnct);
    } else {
        ReportError(kErrFileRejected);
        HangUp();
        statusChanged_ = true;
        SendLog(lfaxReceiveSkip);
        SetState(rfAbort);
    }
}

} // namespace quillon::fax
