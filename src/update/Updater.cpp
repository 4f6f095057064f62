#include "update/Updater.h"

#include <utility>

#include "update/Paths.h"

namespace vt {

TUpdater::TUpdater(TUpdateView& Form, TCallQueue& Queue, std::string Dir, std::string Url)
    : FForm(Form), FQueue(Queue), FDir(std::move(Dir)), FUrl(std::move(Url)) {}

std::string TUpdater::LocalPath(std::string_view Path) const {
  return JoinLocalPath(FDir, Path);
}

void TUpdater::Report(const std::string& Text, int64_t Done, int64_t Total) {
  TUpdateView& view = FForm;
  FQueue.Post(this, [&view, Text, Done, Total] { view.ShowProgress(Text, Done, Total); });
}

}  // namespace vt
