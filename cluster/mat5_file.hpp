// Level-5 MAT files (Octave's save -v6 and -v7, MATLAB's -v6 and -v7), read without a library so
// that nothing the file declares is believed before it is checked: every size is held against
// the bytes the file has before anything is allocated from it, a compressed variable is inflated
// as one stream to its end and zlib's checksum is verified, and the numbers are read in a few
// large requests straight into the caller's buffers. (HDF5 files, MATLAB's -v7.3, are read
// through matio: see mat_input.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace cluster {

// The file is not what it declares: cut short, or sizes and contents that do not fit together.
class DamagedFile : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the first bytes of a file say it is.
enum class MatFileKind { kNotMat, kLevel5, kHdf5 };
MatFileKind mat_file_kind(const std::string &path);

// Data element types of the format.
enum Mat5Type : uint32_t {
  kMiInt8 = 1,
  kMiUint8 = 2,
  kMiInt16 = 3,
  kMiUint16 = 4,
  kMiInt32 = 5,
  kMiUint32 = 6,
  kMiSingle = 7,
  kMiDouble = 9,
  kMiInt64 = 12,
  kMiUint64 = 13,
  kMiMatrix = 14,
  kMiCompressed = 15,
};

// Array classes (the low byte of a matrix's flags).
enum Mat5Class : int { kMxCell = 1, kMxStruct = 2, kMxChar = 4, kMxSparse = 5, kMxDouble = 6, kMxSingle = 7 };

// Bytes of one stored number of a numeric type, 0 for any other type.
size_t mat5_width(uint32_t type);

// The bytes of one variable's matrix element (after its tag), in order: the file's own bytes, or
// the inflated stream of a compressed variable. Reading past the element's declared end, or past
// what the file holds, throws DamagedFile.
class ByteStream {
 public:
  virtual ~ByteStream() = default;
  virtual void read(void *out, uint64_t n) = 0;
  virtual void skip(uint64_t n) = 0;
  // Bytes of the element consumed so far.
  virtual uint64_t position() const = 0;
  // The element's length as declared.
  virtual uint64_t length() const = 0;
  // Reads what is left of the element and checks that it ends where it says (compressed: that the
  // stream ends there and its checksum holds).
  virtual void finish() = 0;
  // Random access, for an element stored as it is (null for a compressed one).
  virtual class FileBytes *file() { return nullptr; }
  // Bytes read from the file so far (compressed: the compressed bytes).
  virtual uint64_t bytes_from_file() const = 0;
};

// An element stored uncompressed: read with pread at any offset.
class FileBytes final : public ByteStream {
 public:
  // Bytes [begin, begin + length) of the open file `fd`, which holds `file_size` bytes in all.
  FileBytes(int fd, uint64_t begin, uint64_t length, uint64_t file_size, std::string what);
  void read(void *out, uint64_t n) override;
  void skip(uint64_t n) override;
  uint64_t position() const override { return at_; }
  uint64_t length() const override { return length_; }
  void finish() override {}
  FileBytes *file() override { return this; }
  uint64_t bytes_from_file() const override { return read_; }
  // n bytes at `offset` from the element's start, without moving the position.
  void read_at(uint64_t offset, void *out, uint64_t n);

 private:
  int fd_;
  uint64_t begin_, length_, at_ = 0, read_ = 0;
  std::string what_;
};

// A compressed element: its zlib stream inflated as it is read (a skip inflates and drops).
class InflatedBytes final : public ByteStream {
 public:
  // The compressed bytes [begin, begin + compressed) of `fd`; they inflate to a matrix element's
  // tag and then its `length()` bytes.
  InflatedBytes(int fd, uint64_t begin, uint64_t compressed, std::string what);
  ~InflatedBytes() override;
  InflatedBytes(const InflatedBytes &) = delete;
  InflatedBytes &operator=(const InflatedBytes &) = delete;
  void read(void *out, uint64_t n) override;
  void skip(uint64_t n) override;
  uint64_t position() const override { return at_; }
  uint64_t length() const override { return length_; }
  void finish() override;
  uint64_t bytes_from_file() const override { return fed_; }
  // The tag the stream starts with: its type and the length it declares.
  uint32_t inner_type() const { return inner_type_; }

 private:
  void inflate_into(unsigned char *out, uint64_t n);
  struct Stream;
  std::unique_ptr<Stream> z_;
  int fd_;
  uint64_t begin_, compressed_, fed_ = 0;
  uint64_t at_ = 0, length_ = 0;
  uint32_t inner_type_ = 0;
  bool ended_ = false;
  std::vector<unsigned char> input_;
  std::string what_;
};

// A run of stored numbers: `count` values of `type`, whose data start at byte `offset` of the
// element's stream; a run of at most 4 bytes is held in its tag (`small`, its bytes in `inline_data`).
struct NumberRun {
  uint32_t type = 0;
  uint64_t offset = 0;
  uint64_t count = 0;
  bool small = false;
  unsigned char inline_data[4] = {0, 0, 0, 0};
  uint64_t bytes() const;
};

// What a variable's header says; `first` is its first data subelement (a numeric array's real
// part, a sparse array's row indices), whose tag has been read and checked against the element.
struct Mat5Variable {
  std::string name;
  int array_class = 0;
  bool complex = false;
  bool logical = false;
  std::vector<uint64_t> dims;
  uint64_t nzmax = 0;
  bool compressed = false;
  uint64_t offset = 0;  // the element's data in the file (after its 8-byte tag)
  uint64_t stored = 0;  // and its length there (compressed: the compressed bytes)
  NumberRun first;
  bool has_first = false;  // an empty matrix may end before it
  uint64_t numel() const;  // product of dims (checked against overflow when the header is read)
};

class Mat5File {
 public:
  // Opens the file and reads every variable's header; throws DamagedFile for a truncated or
  // inconsistent file and std::runtime_error when it cannot be read at all.
  explicit Mat5File(const std::string &path);
  ~Mat5File();
  Mat5File(const Mat5File &) = delete;
  Mat5File &operator=(const Mat5File &) = delete;

  // The variable of that name, or null.
  const Mat5Variable *find(const std::string &name) const;
  // A stream over the variable's element, positioned just after its first data subelement's tag
  // (the header read again and found as it was).
  std::unique_ptr<ByteStream> open(const Mat5Variable &v) const;
  // Whether the file's numbers are stored in the other byte order.
  bool swapped() const { return swapped_; }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
  uint64_t size_ = 0;
  bool swapped_ = false;
  std::vector<Mat5Variable> variables_;
};

// Reads a subelement tag from the stream (both the normal and the small form): its type and the
// bytes of data that follow (for the small form, its data are returned in `small`).
struct Mat5Tag {
  uint32_t type = 0;
  uint64_t bytes = 0;
  bool small = false;
  unsigned char small_data[4] = {0, 0, 0, 0};
};
Mat5Tag read_tag(ByteStream &s, bool swapped);
// Skips the padding after `bytes` of data (to the next multiple of 8).
void skip_padding(ByteStream &s, uint64_t bytes);

// `count` stored numbers of `type` (raw bytes, the file's byte order) converted to doubles.
void to_doubles(uint32_t type, bool swapped, const void *raw, size_t count, double *out);
// The same to 64-bit integers (for indices); false when one is negative or not whole.
bool to_indices(uint32_t type, bool swapped, const void *raw, size_t count, int64_t *out);

}  // namespace cluster
