// The line editor on libedit: emacs key bindings (the user's ~/.editrc may change them), a
// history of 1000 lines without repeats, Ctrl-C bound to cancelling the line.
//
// Ctrl-C is SIGINT on the terminal, taken by InterruptWatch's thread, which calls Interrupt():
// a byte on a pipe. The editor reads its keys through its own function, which waits on the
// terminal and that pipe together and turns the byte into the Ctrl-C key.
#include <fcntl.h>
#include <histedit.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "tools/qorvin/LineEditor.h"

namespace qorvin::cli {

namespace {

constexpr wchar_t kCtrlC = 3;

class EditLineEditor : public LineEditor {
 public:
  explicit EditLineEditor(std::string historyFile) : file_(std::move(historyFile)) {
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
    history_ = history_init();
    history(history_, &event_, H_SETSIZE, 1000);
    history(history_, &event_, H_SETUNIQUE, 1);
    if (!file_.empty()) history(history_, &event_, H_LOAD, file_.c_str());
    edit_ = el_init("qorvin", stdin, stdout, stderr);
    el_set(edit_, EL_CLIENTDATA, this);
    el_set(edit_, EL_EDITOR, "emacs");
    el_set(edit_, EL_SIGNAL, 0);  // no handlers of its own: SIGINT belongs to InterruptWatch
    el_set(edit_, EL_PROMPT, &EditLineEditor::Prompt);
    el_set(edit_, EL_HIST, history, history_);
    el_set(edit_, EL_GETCFN, &EditLineEditor::GetChar);
    el_source(edit_, nullptr);  // ~/.editrc
    el_set(edit_, EL_ADDFN, "qorvin-cancel", "cancel the line", &EditLineEditor::Cancel);
    el_set(edit_, EL_BIND, "^C", "qorvin-cancel", nullptr);
  }

  ~EditLineEditor() override {
    el_end(edit_);  // puts the terminal back as it was
    history_end(history_);
    for (int fd : wake_)
      if (fd >= 0) close(fd);
  }

  Input Read(const std::string& prompt) override {
    prompt_ = prompt;
    cancelled_ = false;
    int count = 0;
    const char* line = el_gets(edit_, &count);
    if (cancelled_) return Input{Kind::Cancelled, ""};
    if (line == nullptr || count <= 0) return Input{Kind::End, ""};
    std::string text(line, size_t(count));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return Input{Kind::Line, text};
  }

  void Remember(const std::string& line) override {
    if (line.find_first_not_of(" \t") == std::string::npos) return;
    history(history_, &event_, H_ENTER, line.c_str());
    if (file_.empty()) return;
    // The history may hold secrets typed into statements: the owner's alone, from the start.
    const mode_t previous = umask(077);
    if (history(history_, &event_, H_SAVE, file_.c_str()) >= 0) chmod(file_.c_str(), 0600);
    umask(previous);
  }

  void Interrupt() override {
    if (wake_[1] >= 0) (void)!write(wake_[1], "", 1);
  }

 private:
  static EditLineEditor* Self(EditLine* edit) {
    void* self = nullptr;
    el_get(edit, EL_CLIENTDATA, &self);
    return static_cast<EditLineEditor*>(self);
  }
  static char* Prompt(EditLine* edit) { return Self(edit)->prompt_.data(); }
  static unsigned char Cancel(EditLine* edit, int) {
    Self(edit)->cancelled_ = true;
    std::fputs("^C", stdout);
    return CC_NEWLINE;
  }

  // One key: 1 with it in `out`, 0 at the end of input, -1 on an error. Bytes of the locale's
  // multibyte code set are gathered into one character; a byte that fits none stands for itself.
  static int GetChar(EditLine* edit, wchar_t* out) {
    EditLineEditor* self = Self(edit);
    std::mbstate_t state{};
    for (;;) {
      pollfd fds[2] = {{0, POLLIN, 0}, {self->wake_[0], POLLIN, 0}};
      if (poll(fds, self->wake_[0] >= 0 ? 2 : 1, -1) < 0) {
        if (errno == EINTR) continue;
        return -1;
      }
      if (self->wake_[0] >= 0 && fds[1].revents != 0) {
        char drained[64];
        while (read(self->wake_[0], drained, sizeof drained) > 0) {
        }
        *out = kCtrlC;
        return 1;
      }
      char c = 0;
      const ssize_t n = read(0, &c, 1);
      if (n == 0) return 0;
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return -1;
      }
      const size_t r = std::mbrtowc(out, &c, 1, &state);
      if (r == size_t(-2)) continue;  // more bytes of this character to come
      if (r == size_t(-1)) *out = wchar_t(static_cast<unsigned char>(c));
      return 1;
    }
  }

  std::string file_;
  int wake_[2] = {-1, -1};
  History* history_ = nullptr;
  HistEvent event_{};
  EditLine* edit_ = nullptr;
  std::string prompt_;
  bool cancelled_ = false;
};

}  // namespace

std::unique_ptr<LineEditor> LineEditor::Open(const std::string& historyFile, std::string&) {
  return std::make_unique<EditLineEditor>(historyFile);
}

}  // namespace qorvin::cli
