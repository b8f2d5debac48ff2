/* The trivial process bench_calls compares the CLI's start-up with: it makes one framed TCP call
 * of 64 bytes to the port given and exits 0 when the reply came back. Plain C, libc only. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a = {0};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons((unsigned short)atoi(argv[1]));
  if (connect(fd, (struct sockaddr*)&a, sizeof a) != 0) return 1;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  char buf[68] = {0, 0, 0, 64};
  size_t done = 0;
  while (done < sizeof buf) {
    ssize_t w = send(fd, buf + done, sizeof buf - done, 0);
    if (w <= 0) return 1;
    done += (size_t)w;
  }
  for (done = 0; done < sizeof buf;) {
    ssize_t r = recv(fd, buf + done, sizeof buf - done, 0);
    if (r <= 0) return 1;
    done += (size_t)r;
  }
  close(fd);
  return 0;
}
