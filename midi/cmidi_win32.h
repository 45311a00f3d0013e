#pragma once

#include "midi/cmidi.h"

namespace melvix {

// The MIDI system object on WinMM and the Windows kernel.
class CMidiWin32 : public CMidi {
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
  WideString OpenOut(const WideString& name) override;
  WideString OpenOut(std::uint32_t index) override;
  WideString OpenIn(const WideString& name, DWORD_PTR instance) override;
  WideString OpenIn(std::uint32_t index, DWORD_PTR instance) override;
  std::uint32_t Time() override;
  HANDLE StartThread(void (*routine)(CMidi&)) override;
  void Sleep(std::uint32_t milliseconds) override;
  std::unique_ptr<CMidiLock> NewLock() override;

 private:
  bool OutIsCurrent(const WideString& name);
  bool InIsCurrent(const WideString& name);
  WideString OpenOutDevice(UINT id, const WideString& name);
  WideString OpenInDevice(UINT id, const WideString& name, DWORD_PTR instance);

  const DWORD clockBase_;
};

}  // namespace melvix
