// The one message shown to a user: a box about an unexpected input message. It goes up on a thread
// of ours, so that only the box waits for the user; input and requests go on meanwhile.
#pragma once

namespace melvix {

// Starts the thread that shows the boxes, once; before any input opens, on a thread of ours, so
// that the input callback never starts one.
void prepareMessageBoxes();
// Queues a box about the input message `message` (its number, shown in hexadecimal: "MIDI
// message: 3c5") with the caption "Melvix-Plugin", no owner window and the buttons OK and Cancel;
// the answer is ignored. Boxes go up one at a time, in order; while 32 wait for the user, more are
// not queued. Never waits long and allocates nothing: called on the input callback's thread.
void showMessageBoxLater(unsigned message);

}  // namespace melvix
