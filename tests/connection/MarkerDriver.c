/* Stands for a library an attacker would have the driver manager load: it
   records being loaded in the file named by VL_MARKER_FILE. */
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

__attribute__((constructor)) static void RecordLoad(void) {
  const char* path = getenv("VL_MARKER_FILE");
  if (path == NULL) return;
  int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (fd >= 0) {
    (void)write(fd, "loaded\n", 7);
    close(fd);
  }
}
