// The classifier of summation statistics requests. The management plane numbers its
// requests (seq_num) and acknowledges the last response it received (last_ack); from these
// two numbers the worker decides whether to send a delta, resend the last response, or send
// absolute values.
//
// Classify only looks; UpdateDeltaState moves the state on. The client classifies a request,
// builds its response, and only once the response exists records the request as answered,
// so that a request that fails halfway leaves the state as it was (GetNextResponseInfo does
// both at once, for callers that have nothing that can fail in between).
//
// Threading: no lock. The owner serialises every call (requests, resets) with its own mutex.
#pragma once

#include <cstdint>

namespace qbx {

class DeltaWorker {
 public:
  // Request statuses; negative values refuse the request.
  enum Status : int {
    DELTA_ACKNOWLEDGED_RESPONSE = 0,      // acknowledges the last response: send a delta
    DELTA_MP_FIRST_OR_RESET_REQUEST = 1,  // last_ack 0: the management plane starts over
    DELTA_FIRST_RECEIVED_REQUEST = 2,     // first request since the worker was reset: delta
    DELTA_RESEND_RESPONSE = 3,            // the last response was missed: send it again
    DELTA_INVALID_REQUEST = -1,           // acknowledges nothing that was sent
    DELTA_OLD_ACK = -2,                   // last_ack older than the last one accepted
    DELTA_OLD_SEQ = -3,                   // seq_num not newer than the last one accepted
    DELTA_BAD_REQUEST = -4,               // seq_num 0 or not greater than last_ack
  };

  DeltaWorker() { Reset(); }
  virtual ~DeltaWorker() = default;

  // The client's entry point: classifies and, for a status of 0 to 3, records the request
  // as answered and stores its seq_num in `outSeq`.
  virtual int ProcessRequest(uint64_t seq, uint64_t ack, uint64_t& outSeq) {
    return GetNextResponseInfo(seq, ack, outSeq);
  }
  virtual int GetNextResponseInfo(uint64_t seq, uint64_t ack, uint64_t& outSeq);
  // Records an accepted request; returns its seq_num, or 0 (changing nothing) for a
  // negative status.
  virtual uint64_t UpdateDeltaState(uint64_t seq, uint64_t ack, int status);

  // The classification alone; the state is not touched.
  int Classify(uint64_t seq, uint64_t ack) const;

  // Back to the reset state: nothing sent, the next valid request is a first one.
  void Reset();

  // In smart-NIC mode an acknowledgement newer than the last one accepted counts as
  // acknowledging the last response (a smart NIC answers with absolute values anyway).
  void SetSmartNicMode(bool on) { smartNicMode = on; }

  uint64_t LastSent() const { return _lastSent; }
  uint64_t LastAck() const { return _lastAck; }
  bool IsFirstRequest() const { return firstRequest; }

 private:
  uint64_t _lastSent = 0;
  uint64_t _lastAck = 0;
  bool firstRequest = true;
  bool smartNicMode = false;
};

}  // namespace qbx
