// KXPackFiles_startUnpack: the unpack reader's decompression adapter.
// IDecompressor is the interface the reader drives; DZlib reads raw deflate
// streams (window bits -15) through zlib. The reader's procedures are
// static members of KXPackFiles (KXPackFiles.h), implemented in
// KXPackFiles_startUnpack.cc.
//
// Driving loop: SetNextIn(piece); then repeatedly SetNextOut(area),
// Decompress and take (area size - GetAvailOut()) bytes, until a call
// leaves output space unused. Call End exactly once after a successful
// Init (the destructor ends a stream that was left open).
#pragma once

#include <memory>

#include "resbundle/KXPack/KXPackFiles_startpack.h"

class IDecompressor {
 public:
  virtual ~IDecompressor() = default;
  virtual int Init(int level, int dictionarySize) = 0;
  virtual int End() = 0;
  virtual int Decompress(bool finish) = 0;
  virtual void SetNextIn(const void* data, unsigned length) = 0;
  virtual void SetNextOut(void* data, unsigned length) = 0;
  virtual void* GetNextOut() const = 0;
  virtual unsigned GetAvailIn() const = 0;
  virtual unsigned GetAvailOut() const = 0;
  virtual const char* GetName() const = 0;
  virtual const char* GetErrStr(int code) const = 0;
};

class DZlib : public IDecompressor {
 public:
  DZlib();
  DZlib(const DZlib&) = delete;
  DZlib& operator=(const DZlib&) = delete;
  ~DZlib() override;

  // Sets up raw inflate; both arguments are ignored. Returns zlib's code,
  // 0 (Z_OK) on success.
  int Init(int level, int dictionarySize) override;
  int End() override;
  // Starts a new stream on the state set up by Init, keeping its memory;
  // returns zlib's code.
  int Reset();
  // One inflate call with Z_NO_FLUSH, whatever finish says.
  int Decompress(bool finish) override;
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
