// task_args.cpp - splitting srun's --zyg-nox value and the task's argv.
#include "task_args.h"

namespace zyg::slurm {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n'; }

}  // namespace

int split_options(const char* text, char* buf, std::size_t buf_size, char** words, int max_words) {
  std::size_t used = 0;
  int count = 0;
  const char* p = text;
  for (;;) {
    while (is_blank(*p)) ++p;
    if (*p == '\0') return count;
    if (count == max_words) return -1;
    words[count++] = buf + used;
    char quote = '\0';
    for (; *p != '\0' && (quote != '\0' || !is_blank(*p)); ++p) {
      char c = *p;
      if (quote == '\0' && (c == '\'' || c == '"')) {
        quote = c;
        continue;
      }
      if (c == quote) {
        quote = '\0';
        continue;
      }
      bool escapes = quote == '\0' || (quote == '"' && (p[1] == '"' || p[1] == '\\'));
      if (c == '\\' && escapes) {
        if (*++p == '\0') return -1;
        c = *p;
      }
      if (used + 1 >= buf_size) return -1;
      buf[used++] = c;
    }
    if (quote != '\0') return -1;
    if (used >= buf_size) return -1;
    buf[used++] = '\0';
  }
}

int task_argv(const char* launcher, char* const* options, int option_cnt, char* const* command,
              int command_cnt, char** out, int max) {
  const int total = 3 + option_cnt + command_cnt;
  if (option_cnt < 0 || command_cnt < 0 || total + 1 > max) return -1;
  int n = 0;
  out[n++] = const_cast<char*>(launcher);
  out[n++] = const_cast<char*>("--job");
  for (int i = 0; i < option_cnt; ++i) out[n++] = options[i];
  out[n++] = const_cast<char*>("--");
  for (int i = 0; i < command_cnt; ++i) out[n++] = command[i];
  out[n] = nullptr;
  return n;
}

int cmdline_words(char* text, std::size_t len, char** words, int max) {
  if (len == 0 || text[len - 1] != '\0') return -1;
  int n = 0;
  for (std::size_t at = 0; at < len;) {
    if (n + 1 >= max) return -1;
    words[n++] = text + at;
    while (text[at] != '\0') ++at;
    ++at;
  }
  words[n] = nullptr;
  return n;
}

}  // namespace zyg::slurm
