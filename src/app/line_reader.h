// Reads lines of any length from a descriptor.
#ifndef VESKAR_APP_LINE_READER_H_
#define VESKAR_APP_LINE_READER_H_

#include <string>
#include <vector>

namespace veskar {

class LineReader {
 public:
  explicit LineReader(int fd);
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Reads the next line into `line`, without its "\n" or "\r\n". A last line
  // without terminator counts. Returns false at end of input (or when the
  // descriptor fails, which ends the input the same way).
  bool next(std::string& line);

 private:
  bool fill();

  const int fd_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;  // unread bytes are [begin_, end_)
  std::size_t end_ = 0;
  bool atEnd_ = false;
};

}  // namespace veskar

#endif  // VESKAR_APP_LINE_READER_H_
