// KXPackFiles_startpack: the pack writer's compression adapter. ICompressor
// is the interface the writer drives; CZlib produces raw deflate streams
// (no zlib header or trailer, 32 KiB window, memory level 9) through zlib.
// The writer's procedures themselves are static members of KXPackFiles
// (KXPackFiles.h), implemented in KXPackFiles_startpack.cc.
//
// Driving loop: SetNextIn(piece); then repeatedly SetNextOut(area),
// Compress(finish) and take (area size - GetAvailOut()) bytes, until a call
// leaves output space unused. Call End exactly once after a successful
// Init (the destructor ends a stream that was left open).
#pragma once

#include <memory>

struct z_stream_s;

// Text for a zlib result code: -2..-6 have their own, others "unknown
// error".
const char* zlibErrorText(int code);

class ICompressor {
 public:
  virtual ~ICompressor() = default;
  virtual int Init(int level, int dictionarySize) = 0;
  virtual int End() = 0;
  virtual int Compress(bool finish) = 0;
  virtual void SetNextIn(const void* data, unsigned length) = 0;
  virtual void SetNextOut(void* data, unsigned length) = 0;
  virtual void* GetNextOut() const = 0;
  virtual unsigned GetAvailIn() const = 0;
  virtual unsigned GetAvailOut() const = 0;
  virtual const char* GetName() const = 0;
  virtual const char* GetErrStr(int code) const = 0;
};

class CZlib : public ICompressor {
 public:
  CZlib();
  CZlib(const CZlib&) = delete;
  CZlib& operator=(const CZlib&) = delete;
  ~CZlib() override;

  // Sets up raw deflate at level (window bits -15, memory level 9, default
  // strategy); dictionarySize is ignored. Returns zlib's code, 0 (Z_OK) on
  // success.
  int Init(int level, int dictionarySize) override;
  // Ends the stream and frees it; returns zlib's code.
  int End() override;
  // Starts a new stream on the state set up by Init, keeping its memory and
  // parameters; returns zlib's code.
  int Reset();
  // One deflate call: Z_FINISH when finish, Z_NO_FLUSH otherwise.
  int Compress(bool finish) override;
  void SetNextIn(const void* data, unsigned length) override;
  void SetNextOut(void* data, unsigned length) override;
  void* GetNextOut() const override;
  unsigned GetAvailIn() const override;
  unsigned GetAvailOut() const override;
  const char* GetName() const override { return "zlib"; }
  const char* GetErrStr(int code) const override { return zlibErrorText(code); }

 private:
  std::unique_ptr<z_stream_s> stream_;
};
