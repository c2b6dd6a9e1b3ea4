#include "aggsvc/stats/delta_worker.h"

#include "base/logger.h"

namespace qbx {

namespace {
constexpr const char* kSubcomp = "agg-service";
}  // namespace

void DeltaWorker::Reset() {
  _lastSent = 0;
  _lastAck = 0;
  firstRequest = true;
}

int DeltaWorker::Classify(uint64_t seq, uint64_t ack) const {
  static const char* kOp = "GetNextResponseInfo";
  const auto llu = [](uint64_t v) { return static_cast<unsigned long long>(v); };
  QBX_LOG(loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("[%s] Incoming pull stat request with seq:%llu, ack:%llu \n", kOp, llu(seq), llu(ack));
  QBX_LOG(loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("[%s] Current internal _lastSent: %llu, _lastAck: %llu \n", kOp, llu(_lastSent), llu(_lastAck));
  if (!(seq > ack && seq != 0)) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10034")
        .put("[%s] Got bad request seq: %llu or request ack: %llu\n", kOp, llu(seq), llu(ack));
    return DELTA_BAD_REQUEST;
  }
  if (ack == 0) {
    QBX_LOG(loglevel::kDebug).subcomp(kSubcomp).put("[%s] Pull stat request valid as ack is 0\n", kOp);
    return DELTA_MP_FIRST_OR_RESET_REQUEST;
  }
  if (seq <= _lastSent) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10034")
        .put("[%s] Got request old seq: %llu <= %llu _lastSentreqAckNum: %llu \n", kOp, llu(seq),
             llu(_lastSent), llu(ack));
    return DELTA_OLD_SEQ;
  }
  if (ack < _lastAck) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10034")
        .put("[%s] Got request with old ack: %llu < %llu _lastAck\n", kOp, llu(ack), llu(_lastAck));
    return DELTA_OLD_ACK;
  }
  if (firstRequest) {
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("[%s] First pull stat request after start/restart is always valid \n", kOp);
    return DELTA_FIRST_RECEIVED_REQUEST;
  }
  if (ack == _lastAck) {
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("[%s] Got request ack: %llu == %llu _lastAck indicating last response was missed\n", kOp,
             llu(ack), llu(_lastAck));
    return DELTA_RESEND_RESPONSE;
  }
  if (ack == _lastSent) {
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("[%s] Got request ack: %llu == %llu _lastSent acknowledgingthe last response\n", kOp,
             llu(ack), llu(_lastSent));
    return DELTA_ACKNOWLEDGED_RESPONSE;
  }
  if (smartNicMode) {
    QBX_LOG(loglevel::kDebug)
        .subcomp(kSubcomp)
        .put("[%s] Got request for %s ack: %llu == %llu _lastSent acknowledgingthe last response\n", kOp,
             "Smart NIC", llu(ack), llu(_lastSent));
    return DELTA_ACKNOWLEDGED_RESPONSE;
  }
  QBX_LOG(loglevel::kError)
      .subcomp(kSubcomp)
      .tag("errorCode:MPA10014")
      .put("[%s] Incoming pull stat request is invalid \n", kOp);
  return DELTA_INVALID_REQUEST;
}

int DeltaWorker::GetNextResponseInfo(uint64_t seq, uint64_t ack, uint64_t& outSeq) {
  int status = Classify(seq, ack);
  if (status >= 0) outSeq = UpdateDeltaState(seq, ack, status);
  return status;
}

uint64_t DeltaWorker::UpdateDeltaState(uint64_t seq, uint64_t ack, int status) {
  static const char* kOp = "UpdateDeltaState";
  if (status < 0) {
    QBX_LOG(loglevel::kError)
        .subcomp(kSubcomp)
        .tag("errorCode:MPA10014")
        .put("[%s] Invalid request status: %d", kOp, status);
    return 0;
  }
  _lastSent = seq;
  _lastAck = ack;
  if (status == DELTA_MP_FIRST_OR_RESET_REQUEST || status == DELTA_FIRST_RECEIVED_REQUEST) {
    QBX_LOG(loglevel::kInfo).subcomp(kSubcomp).put("[%s] First pull request received", kOp);
    firstRequest = false;
  }
  QBX_LOG(loglevel::kInfo)
      .subcomp(kSubcomp)
      .put("[%s] Updated internal _lastSent: %llu, _lastAck: %llu \n", kOp,
           static_cast<unsigned long long>(_lastSent), static_cast<unsigned long long>(_lastAck));
  return seq;
}

}  // namespace qbx
