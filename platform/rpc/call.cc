#include "platform/rpc/call.h"

#include <grpcpp/channel.h>

#include "platform/rpc/byte_buffer.h"

namespace qbx {
namespace rpc {
namespace detail {

CallCore::CallCore(std::shared_ptr<Dispatcher> dispatcher, std::unique_ptr<EventSink> sink, std::string method)
    : dispatcher_(std::move(dispatcher)), sink_(std::move(sink)), method_(std::move(method)) {}

CallCore::~CallCore() = default;

std::shared_ptr<CallCore> CallCore::Start(const std::shared_ptr<RpcChannel>& channel, std::string_view method,
                                          const ClientContext& context, std::unique_ptr<EventSink> sink) {
  const std::string path = channel ? channel->MethodPath(method) : std::string(method);
  std::shared_ptr<Dispatcher> dispatcher = channel ? channel->dispatcher() : nullptr;
  std::shared_ptr<CallCore> core(new CallCore(dispatcher, std::move(sink), path));
  if (!channel || !channel->IsOpen()) {
    std::lock_guard<std::mutex> lock(core->mutex_);
    core->writes_closed_ = true;
    core->reads_ended_ = true;
    core->final_ = Status(StatusCode::kUnavailable, "channel is closed");
    core->events_.push_back(Event{true, {}, core->final_});
    core->draining_ = true;
    if (!dispatcher || !dispatcher->Post([core] { core->Drain(); })) core->draining_ = false;
    return core;
  }
  channel->PrepareContext(core->context_, context);
  core->stub_ = std::make_unique<grpc::GenericStub>(channel->connection()->grpc_channel());
  core->self_ = core;
  core->stub_->PrepareBidiStreamingCall(&core->context_, path, grpc::StubOptions(), core.get());
  {
    std::lock_guard<std::mutex> lock(core->mutex_);
    core->write_hold_ = true;
    core->started_ = true;
  }
  // One hold for writes started from outside the reactions, one for resumed reads.
  core->AddMultipleHolds(2);
  core->StartRead(&core->read_buffer_);
  core->StartCall();
  return core;
}

bool CallCore::Write(std::string payload) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (writes_closed_ || writes_.size() >= kMaxQueuedWrites) return false;
    writes_.push_back(std::move(payload));
  }
  PumpWrites();
  return true;
}

bool CallCore::WritesDone() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (writes_closed_) return false;
    writes_closed_ = true;
  }
  PumpWrites();
  return true;
}

void CallCore::PumpWrites() {
  enum { kNothing, kWrite, kWritesDone, kRelease } action = kNothing;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!started_ || writing_ || !write_hold_) return;
    if (!writes_.empty() && !reads_ended_) {
      write_buffer_ = ToByteBuffer(writes_.front());
      writes_.pop_front();
      writing_ = true;
      action = kWrite;
    } else if (writes_closed_ && !writes_done_sent_) {
      writes_.clear();
      writes_done_sent_ = true;
      writing_ = true;
      action = reads_ended_ ? kRelease : kWritesDone;
      if (action == kRelease) {
        writing_ = false;
        write_hold_ = false;
      }
    }
  }
  switch (action) {
    case kWrite: StartWrite(&write_buffer_); break;
    case kWritesDone: StartWritesDone(); break;
    case kRelease: RemoveHold(); break;
    case kNothing: break;
  }
}

void CallCore::OnWriteDone(bool ok) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    writing_ = false;
    if (!ok) {
      // The stream is broken: nothing more can be written.
      writes_.clear();
      writes_closed_ = true;
    }
  }
  PumpWrites();
}

void CallCore::OnWritesDoneDone(bool ok) {
  (void)ok;
  bool release = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    writing_ = false;
    if (write_hold_) {
      write_hold_ = false;
      release = true;
    }
  }
  if (release) RemoveHold();
}

void CallCore::OnReadDone(bool ok) {
  if (!ok) {
    bool release_write = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      reads_ended_ = true;
      // The peer has finished: whatever was not written is of no use any more.
      writes_closed_ = true;
      writes_.clear();
      if (write_hold_ && !writing_) {
        write_hold_ = false;
        writes_done_sent_ = true;
        release_write = true;
      }
    }
    if (release_write) RemoveHold();
    RemoveHold();  // the read hold
    return;
  }
  Event event;
  event.payload = FromByteBuffer(read_buffer_);
  bool read_more = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++backlog_;
    read_more = backlog_ < kMaxBacklog;
    read_paused_ = !read_more;
  }
  Push(std::move(event));
  if (read_more) StartRead(&read_buffer_);
}

void CallCore::OnDone(const grpc::Status& status) {
  Status final_status = Status::FromGrpc(status, context_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    final_ = final_status;
  }
  Event event;
  event.done = true;
  event.status = final_status;
  Push(std::move(event));
  // The reactor may go now; queued events keep the engine alive through the drain.
  std::shared_ptr<CallCore> keep = std::move(self_);
}

void CallCore::Cancel() { context_.TryCancel(); }

Status CallCore::status() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return final_;
}

void CallCore::Push(Event event) {
  bool post = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
    if (!draining_) {
      draining_ = true;
      post = true;
    }
  }
  if (!post) return;
  auto self = shared_from_this();
  if (!dispatcher_ || !dispatcher_->Post([self] { self->Drain(); })) {
    // The provider is stopping: the events stay undelivered and the observer is released
    // with the engine.
    std::lock_guard<std::mutex> lock(mutex_);
    draining_ = false;
  }
}

void CallCore::Drain() {
  for (;;) {
    Event event;
    bool resume = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (events_.empty()) {
        draining_ = false;
        return;
      }
      event = std::move(events_.front());
      events_.pop_front();
      if (!event.done) {
        --backlog_;
        if (read_paused_ && !reads_ended_ && backlog_ <= kMaxBacklog / 2) {
          read_paused_ = false;
          resume = true;
        }
      }
    }
    if (resume) StartRead(&read_buffer_);
    if (!sink_) continue;
    if (event.done) {
      auto sink = std::move(sink_);
      sink->OnDone(event.status);
      continue;
    }
    const uint32_t app_status = sink_->OnMessage(event.payload);
    if (app_status != 0) Cancel();
  }
}

}  // namespace detail
}  // namespace rpc
}  // namespace qbx
