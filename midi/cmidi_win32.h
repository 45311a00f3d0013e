#pragma once

#include "midi/cmidi.h"

namespace melvix {

// The MIDI system object on WinMM and the Windows kernel; the one realisation, final: its
// destructor ends the watcher before anything the watcher calls goes. Tests reach it through the
// simulation's controls and the watcher's pause (UseWatcher).
class CMidiWin32 final : public CMidi {
 public:
  CMidiWin32();
  ~CMidiWin32() override;

  std::vector<WideString> ListOuts() override;
  std::vector<WideString> ListIns() override;
  std::uint32_t OutCount() override { return midiOutGetNumDevs(); }
  std::uint32_t InCount() override { return midiInGetNumDevs(); }
  PortLookup OutInfo(const WideString& name) override;
  PortLookup OutInfo(std::uint32_t index) override;
  PortLookup InInfo(const WideString& name) override;
  PortLookup InInfo(std::uint32_t index) override;
  WideString OpenOut(const WideString& name) EXCLUDES(PortsGuard()) override;
  WideString OpenOut(std::uint32_t index) EXCLUDES(PortsGuard()) override;
  WideString OpenIn(const WideString& name, DWORD_PTR instance) EXCLUDES(PortsGuard()) override;
  WideString OpenIn(std::uint32_t index, DWORD_PTR instance) EXCLUDES(PortsGuard()) override;
  std::uint32_t Time() override;
  HANDLE StartThread(void (*routine)(CMidi&)) override;
  void Sleep(std::uint32_t milliseconds) override;
  std::unique_ptr<CMidiLock> NewLock() override;

 private:
  WideString OpenOutLocked(const WideString& name) REQUIRES(PortsGuard()) override;
  WideString OpenInLocked(const WideString& name, DWORD_PTR instance)
      REQUIRES(PortsGuard()) override;
  bool OutIsCurrent(const WideString& name) REQUIRES(PortsGuard());
  bool InIsCurrent(const WideString& name) REQUIRES(PortsGuard());
  WideString OpenOutDevice(UINT id, const WideString& name) REQUIRES(PortsGuard());
  WideString OpenInDevice(UINT id, const WideString& name, DWORD_PTR instance)
      REQUIRES(PortsGuard());

  const DWORD clockBase_;
};

}  // namespace melvix
