/* The least any native-messaging host can do, and so the limit every figure of host_bench is a
 * ratio against: read each frame with fread, answer a "version" request with one write(2), drop
 * every other frame. It ends, with status 0, when its standard input ends. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(void) {
  /* ["version","1.5"], 17 bytes, after its length: the bytes melvixhost answers. */
  static const char reply[] = "\x11\x00\x00\x00[\"version\",\"1.5\"]";
  static const char command[] = "[\"version\"";
  char* text = NULL;
  size_t capacity = 0;
  for (;;) {
    unsigned char header[4];
    size_t length;
    if (fread(header, 1, sizeof header, stdin) != sizeof header) return 0;
    length = (size_t)header[0] | (size_t)header[1] << 8 | (size_t)header[2] << 16 |
             (size_t)header[3] << 24;
    if (length > capacity) {
      free(text);
      text = malloc(length);
      if (text == NULL) return 1;
      capacity = length;
    }
    if (length > 0 && fread(text, 1, length, stdin) != length) return 0;
    if (length >= sizeof command - 1 && memcmp(text, command, sizeof command - 1) == 0) {
      if (write(1, reply, sizeof reply - 1) < 0) return 1;
    }
  }
}
