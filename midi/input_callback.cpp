#include "midi/input_callback.h"

#include <string>
#include <vector>

#include "host/frame_writer.h"
#include "midi/midi_system.h"

void CALLBACK InputCallback(HMIDIIN device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                            DWORD_PTR param2) {
  if (message == MIM_OPEN || message == MIM_CLOSE) return;
  // Empty buffers come back when a port is reset on closing; they stay out of the driver's queue.
  if (message == MIM_LONGDATA && reinterpret_cast<MIDIHDR*>(param1)->dwBytesRecorded == 0) return;
  auto* event = new InputEvent{instance, device, message, param1, param2};
  ForwardInput(event);
}

void ForwardInput(InputEvent* event) {
  CMidi* midi = midiSystem();
  std::vector<unsigned char> bytes;
  CMidiIn* port = midi != nullptr ? midi->EnterInput() : nullptr;
  if (port != nullptr) {
    port->Receive(event, bytes);
    midi->LeaveInput();
  } else {
    // No current port: the port is closing, and its data is dropped without going back to it.
    delete event;
  }
  if (bytes.empty()) return;
  std::string text = "[\"midi\"," + std::to_string(midi->Time());
  text.reserve(text.size() + bytes.size() * 4 + 1);
  for (unsigned char b : bytes) {
    text += ',';
    text += std::to_string(b);
  }
  text += ']';
  writeMessage(std::move(text));
}
