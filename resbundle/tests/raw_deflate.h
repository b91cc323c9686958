// rawDeflate: one whole raw deflate stream (window bits -15) of a text, for
// tests and fuzz targets that build packs by hand.
#pragma once

#include <zlib.h>

#include <string>

inline std::string rawDeflate(const std::string& content, int level = 9,
                              int memLevel = 9) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, -15, memLevel, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, content.size()) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
  z.avail_in = static_cast<uInt>(content.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}
