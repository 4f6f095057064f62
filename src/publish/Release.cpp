#include "publish/Release.h"

#include <zlib.h>

#include <stdexcept>

#include "format/Inflate.h"
#include "format/JsonWriter.h"
#include "format/UtcTime.h"

namespace vt {

namespace {

void AppendRemoteFile(std::string& Out, const TRemoteFile& File) {
  Out += '{';
  AppendJsonName(Out, "p");
  AppendJsonString(Out, File.Path);
  Out += ',';
  AppendJsonName(Out, "s");
  AppendJsonInt(Out, File.Size);
  Out += ',';
  AppendJsonName(Out, "h");
  AppendJsonString(Out, File.Hash);
  if (File.ZSize > 0) {
    Out += ',';
    AppendJsonName(Out, "z");
    AppendJsonInt(Out, File.ZSize);
  }
  if (!File.Chunks.Hash.empty()) {
    Out += ',';
    AppendJsonName(Out, "c");
    Out += '{';
    AppendJsonName(Out, "s");
    AppendJsonInt(Out, File.Chunks.Size);
    Out += ',';
    AppendJsonName(Out, "h");
    AppendJsonString(Out, File.Chunks.Hash);
    Out += '}';
  }
  Out += '}';
}

void AppendRollout(std::string& Out, const TRollout& Rollout) {
  AppendJsonName(Out, "rollout");
  Out += '{';
  AppendJsonName(Out, "share");
  AppendJsonInt(Out, Rollout.Percent);
  if (Rollout.Halted) {
    Out += ',';
    AppendJsonName(Out, "halted");
    Out += "true";
  }
  Out += ',';
  AppendJsonName(Out, "before");
  Out += '{';
  AppendJsonName(Out, "build");
  AppendJsonInt(Out, Rollout.Build);
  if (!Rollout.Objects.empty()) {
    Out += ',';
    AppendJsonName(Out, "objects");
    AppendJsonString(Out, Rollout.Objects);
  }
  Out += ',';
  AppendJsonName(Out, "list");
  AppendRemoteFile(Out, Rollout.List);
  Out += "}}";
}

}  // namespace

std::string ManifestJson(int32_t Build, const TRemoteFile& List, const std::string& Objects,
                         const TManifestStamp& Stamp) {
  std::string out = "{";
  AppendJsonName(out, "format");
  AppendJsonInt(out, 2);
  out += ',';
  AppendJsonName(out, "build");
  AppendJsonInt(out, Build);
  if (Stamp.Sequence) {
    out += ',';
    AppendJsonName(out, "seq");
    AppendJsonInt(out, *Stamp.Sequence);
  }
  if (Stamp.Expires) {
    out += ',';
    AppendJsonName(out, "expires");
    AppendJsonString(out, UtcTimeText(*Stamp.Expires));
  }
  if (Stamp.Channel != KStableChannel) {
    out += ',';
    AppendJsonName(out, "channel");
    AppendJsonString(out, Stamp.Channel);
  }
  if (Stamp.KeysVersion > 0) {
    out += ',';
    AppendJsonName(out, "keys");
    AppendJsonInt(out, Stamp.KeysVersion);
  }
  if (!Objects.empty()) {
    out += ',';
    AppendJsonName(out, "objects");
    AppendJsonString(out, Objects);
  }
  out += ',';
  AppendJsonName(out, "list");
  AppendRemoteFile(out, List);
  if (Stamp.Rollout) {
    out += ',';
    AppendRollout(out, *Stamp.Rollout);
  }
  // Launchers that know no mirrors read past them.
  if (!Stamp.Mirrors.empty()) {
    out += ',';
    AppendJsonName(out, "mirrors");
    AppendJsonStrings(out, Stamp.Mirrors);
  }
  if (!Stamp.ObjectMirrors.empty()) {
    out += ',';
    AppendJsonName(out, "object_mirrors");
    AppendJsonStrings(out, Stamp.ObjectMirrors);
  }
  out += '}';
  return out;
}

std::string FileListJson(const std::vector<TRemoteFile>& Files) {
  std::string out = "{";
  AppendJsonName(out, "files");
  out += '[';
  for (size_t i = 0; i < Files.size(); ++i) {
    if (i > 0)
      out += ',';
    AppendRemoteFile(out, Files[i]);
  }
  out += "]}";
  return out;
}

std::vector<uint8_t> ZlibCompress(std::span<const uint8_t> Data, int Level) {
  uLongf size = compressBound(static_cast<uLong>(Data.size()));
  std::vector<uint8_t> out(size);
  if (compress2(out.data(), &size, Data.data(), static_cast<uLong>(Data.size()), Level) != Z_OK) {
    throw std::runtime_error("compression failed");
  }
  out.resize(size);
  return out;
}

std::vector<uint8_t> ZlibInflate(std::span<const uint8_t> Z, int64_t Size) {
  std::vector<uint8_t> out;
  TMemorySource source(Z);
  TMemorySink sink(out);
  InflateStream(source, sink, Size);
  return out;
}

}  // namespace vt
