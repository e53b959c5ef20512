// SPDX-License-Identifier: Apache-2.0
// The labels a job printed, as the printer received them: the callbacks keep a copy of the first
// printer data that reached the printer, and at the job's end the label language's own reader draws
// its first labels from it as PNG images, which the server keeps until the job leaves the history.
// Everything is bounded: the copy, the reader's graphics and labels, each image, the images together.
#include <cstdio>
#include <cstdlib>

#include "app/documents/documents.h"
#include "commands/preview/preview.h"

namespace {

// 'encodeLabel()' - the label as a PNG image in *png; false when it cannot be made or is too large.
bool encodeLabel(const previewLabel& label, std::string* png) {
  char* bytes = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&bytes, &size);
  if (stream == nullptr) return false;
  std::string problem;
  const bool written = previewWritePngFile(stream, label, &problem) == 0;
  const bool closed = std::fclose(stream) == 0;
  const bool kept = written && closed && size <= kJobLabelImageBytes;
  if (kept) png->assign(bytes, size);
  std::free(bytes);
  return kept;
}

// 'keepLabel()' - the finished label as the next image; false once there are enough.
bool keepLabel(const previewLabel& label, std::vector<jobLabelImage>* images) {
  jobLabelImage image;
  image.width = label.width;
  image.length = label.length;
  if (encodeLabel(label, &image.png)) images->push_back(std::move(image));
  return images->size() < kJobLabels;
}

// 'bookSize()' - the bytes of a job's images.
size_t bookSize(const std::vector<jobLabelImage>& images) {
  size_t bytes = 0;
  for (const jobLabelImage& image : images) bytes += image.png.size();
  return bytes;
}

}  // namespace

void copySentData(std::string* copy, const void* bytes, size_t length) {
  if (copy == nullptr || copy->size() >= kJobLabelDataBytes) return;
  copy->append(static_cast<const char*>(bytes), std::min(length, kJobLabelDataBytes - copy->size()));
}

std::vector<jobLabelImage> drawSentLabels(const std::string& data) {
  std::vector<jobLabelImage> images;
  previewState state;
  state.maxGraphicBytes = kJobLabelDots / 8;
  state.maxLabelDots = kJobLabelDots;
  std::string message;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  try {
    for (size_t at = 0; at < data.size();) {
      size_t used = 0;
      const int status = previewFeed(&state, bytes + at, data.size() - at, &used, &message);
      at += used;
      if (status == kPreviewError) return images;
      if (status == kPreviewLabel && !keepLabel(state.label, &images)) return images;
    }
    for (int status; (status = previewFinish(&state, &message)) == kPreviewLabel;)
      if (!keepLabel(state.label, &images)) return images;
  } catch (const std::bad_alloc&) {
  }
  return images;
}

void keepJobLabels(pappl_job_t* job, const std::string& sent) {
  pappl_printer_t* printer = papplJobGetPrinter(job);
  const printerLink* link = printer != nullptr ? linkOf(printer) : nullptr;
  if (link == nullptr || link->config == nullptr || sent.empty()) return;
  std::vector<jobLabelImage> images = drawSentLabels(sent);
  if (images.empty()) return;
  jobLabelBook& book = link->config->jobLabels;
  const std::pair<int, int> key{papplPrinterGetID(printer), papplJobGetID(job)};
  std::lock_guard<std::mutex> hold(book.lock);
  if (book.jobs.count(key) != 0) return;
  book.bytes += bookSize(images);
  book.jobs.emplace(key, std::move(images));
  book.order.push_back(key);
  // The oldest jobs' images go first, down to the server's bound.
  while (book.bytes > kJobLabelBookBytes && !book.order.empty()) {
    const auto oldest = book.jobs.find(book.order.front());
    book.order.pop_front();
    if (oldest == book.jobs.end()) continue;
    book.bytes -= bookSize(oldest->second);
    book.jobs.erase(oldest);
  }
}

std::vector<jobLabelImage> jobLabelSizes(appConfig* config, int printerId, int jobId) {
  std::vector<jobLabelImage> sizes;
  if (config == nullptr) return sizes;
  std::lock_guard<std::mutex> hold(config->jobLabels.lock);
  const auto found = config->jobLabels.jobs.find({printerId, jobId});
  if (found == config->jobLabels.jobs.end()) return sizes;
  for (const jobLabelImage& image : found->second) sizes.push_back({image.width, image.length, {}});
  return sizes;
}

bool jobLabelOf(appConfig* config, int printerId, int jobId, size_t index, jobLabelImage* image) {
  if (config == nullptr) return false;
  std::lock_guard<std::mutex> hold(config->jobLabels.lock);
  const auto found = config->jobLabels.jobs.find({printerId, jobId});
  if (found == config->jobLabels.jobs.end() || index >= found->second.size()) return false;
  *image = found->second[index];
  return true;
}

void forgetJobLabels(appConfig* config, int printerId, int jobId) {
  if (config == nullptr) return;
  jobLabelBook& book = config->jobLabels;
  std::lock_guard<std::mutex> hold(book.lock);
  const auto found = book.jobs.find({printerId, jobId});
  if (found == book.jobs.end()) return;
  book.bytes -= bookSize(found->second);
  book.jobs.erase(found);
  std::erase(book.order, std::pair<int, int>{printerId, jobId});
}
