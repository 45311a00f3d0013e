#include "midi/cmidi.h"

CMidi::~CMidi() { Shutdown(); }

WideString CMidi::OutName() const { return out_ ? out_->Name() : WideString(); }

WideString CMidi::InName() const { return in_ ? in_->Name() : WideString(); }

void CMidi::CloseOut() {
  if (!out_) return;
  out_->AllNotesOff();
  out_.reset();
}

void CMidi::CloseIn() { DestroyIn(); }

void CMidi::ReplaceOut(std::unique_ptr<CMidiOut> port) {
  CloseOut();
  out_ = std::move(port);
}

void CMidi::ReplaceIn(std::unique_ptr<CMidiIn> port) {
  DestroyIn();
  in_ = std::move(port);
  {
    std::lock_guard<std::mutex> lock(inputGuard_);
    inputForCallbacks_ = in_.get();
  }
  // Started only once current, so that none of its data finds no port.
  in_->Start();
}

void CMidi::DestroyIn() {
  if (!in_) return;
  {
    std::unique_lock<std::mutex> lock(inputGuard_);
    inputForCallbacks_ = nullptr;
    callbacksLeft_.wait(lock, [this] { return callbacksInside_ == 0; });
  }
  // No callback can reach the port now; what the driver hands back while it stops, resets and
  // closes finds no port and is dropped there, so no buffer goes back to a closing device.
  in_.reset();
}

CMidiIn* CMidi::EnterInput() {
  std::lock_guard<std::mutex> lock(inputGuard_);
  if (inputForCallbacks_ != nullptr) ++callbacksInside_;
  return inputForCallbacks_;
}

void CMidi::LeaveInput() {
  std::lock_guard<std::mutex> lock(inputGuard_);
  if (--callbacksInside_ == 0) callbacksLeft_.notify_all();
}

void CMidi::Shutdown() {
  DestroyIn();
  CloseOut();
  // The watcher uses this object's operations and fields: it must have ended before they go.
  StopWatcher();
}
