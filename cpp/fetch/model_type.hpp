// Model framework detection from a directory listing. Plain C++; paths are
// file-system bytes. A directory that cannot be listed raises the host's OSError.
#pragma once

#include <string>

namespace quillo::fetch {

enum class ModelKind { Unknown, TfYolo, OpenVino, TfLite, TensorRT, TfV2, TfV1, Torch };

// The rules, first match wins: TF_YOLO (.weights, "yolov"/"yolo_" in the
// path), OpenVINO (.xml + .bin), TFLite, TensorRT, TF_YOLO ("yolo" in the
// lower-cased path, with .pb or saved_model/), TF_V2 (.pb in saved_model/),
// TF_V1 (.pb, no saved_model/), TF_V2 (.weights), Torch (.cfg + .pt).
ModelKind detect_model_kind(const std::string &model_dir);

} // namespace quillo::fetch
