#include "fetch/model_type.hpp"

#include "fetch/fetch.hpp"
#include "fetch/paths.hpp"

#include "common/call_args.hpp"
#include "common/errors.hpp"
#include "common/method.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <initializer_list>
#include <set>
#include <sys/stat.h>

namespace quillo::fetch {

namespace {

struct Listing {
    std::set<std::string> extensions;  // lower-cased, with the dot
    std::set<std::string> sub_dirs;
};

// The part of `name` from its last dot, if anything but dots comes before it.
std::string_view extension(std::string_view name) {
    std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || name.find_first_not_of('.') >= dot)
        return {};
    return name.substr(dot);
}

// ASCII only, whatever the locale: no other character lower-cases to the
// letters the rules look for.
std::string lower(std::string_view text) {
    std::string result(text);
    for (char &c : result)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return result;
}

// Regular files and directories directly in `dir`, links followed.
Listing list(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (!d)
        raise_os_error(errno, dir);
    Listing listing;
    errno = 0;
    while (dirent *entry = readdir(d)) {
        std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        bool file = entry->d_type == DT_REG, folder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
            struct stat st;
            if (stat(path_join(dir, name).c_str(), &st) == 0) {
                file = S_ISREG(st.st_mode);
                folder = S_ISDIR(st.st_mode);
            }
        }
        if (file)
            listing.extensions.insert(lower(extension(name)));
        else if (folder)
            listing.sub_dirs.emplace(name);
        errno = 0;
    }
    int err = errno;
    closedir(d);
    if (err)
        raise_os_error(err, dir);
    return listing;
}

bool has_all(const Listing &listing, std::initializer_list<const char *> extensions) {
    return std::all_of(extensions.begin(), extensions.end(),
                       [&](const char *ext) { return listing.extensions.count(ext) > 0; });
}

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

} // namespace

ModelKind detect_model_kind(const std::string &model_dir) {
    const Listing top = list(model_dir);
    if (has_all(top, {".weights"}) && (contains(model_dir, "yolov") || contains(model_dir, "yolo_")))
        return ModelKind::TfYolo;
    if (has_all(top, {".xml", ".bin"}))
        return ModelKind::OpenVino;
    if (has_all(top, {".tflite"}))
        return ModelKind::TfLite;
    if (has_all(top, {".trt"}))
        return ModelKind::TensorRT;
    const bool saved_model = top.sub_dirs.count("saved_model") > 0;
    if (contains(lower(model_dir), "yolo") && (has_all(top, {".pb"}) || saved_model))
        return ModelKind::TfYolo;
    if (saved_model) {
        if (has_all(list(path_join(model_dir, "saved_model")), {".pb"}))
            return ModelKind::TfV2;
    } else if (has_all(top, {".pb"})) {
        return ModelKind::TfV1;
    }
    if (has_all(top, {".weights"}))
        return ModelKind::TfV2;
    if (has_all(top, {".cfg", ".pt"}))
        return ModelKind::Torch;
    return ModelKind::Unknown;
}

namespace {

const char *member_name(ModelKind kind) {
    switch (kind) {
    case ModelKind::TfYolo: return "TF_YOLO";
    case ModelKind::OpenVino: return "OPENVINO";
    case ModelKind::TfLite: return "TF_LITE";
    case ModelKind::TensorRT: return "TensorRT";
    case ModelKind::TfV2: return "TF_V2";
    case ModelKind::TfV1: return "TF_V1";
    case ModelKind::Torch: return "TORCH";
    case ModelKind::Unknown: break;
    }
    return nullptr;
}

constexpr const char *kDoc =
    "Return the framework of the unpacked model in ``model_dir`` as a ``MODEL_TYPE`` value.\n"
    "\n"
    "Order of detection: TF_YOLO → OpenVINO → TFLite → TensorRT → TF_YOLO (YOLO + pb) → "
    "TF_V2 (saved_model) → TF_V1 (pb only) → TF_V2 (weights) → Torch.\n"
    "\n"
    "Only the extensions (lower-cased) of the regular files directly in ``model_dir``, the names of "
    "its sub-directories and the text of the path are looked at. When no rule matches, a warning is "
    "logged and None is returned; a directory that cannot be listed raises.";

nb::object check_model_type_impl(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *model_dir = bind_call<1>("check_model_type", {"model_dir"}, args, nargs, kwnames)[0];
    require_str(model_dir, "model_dir");
    ModelKind kind = detect_model_kind(fs_path(model_dir));
    if (kind == ModelKind::Unknown) {
        log_warning(concat({nb::str("Could not determine model type for: "), model_dir}));
        return nb::none();
    }
    nb::object value = global("MODEL_TYPE").attr(member_name(kind));
    if (!PyUnicode_Check(value.ptr())) {
        PyErr_Format(PyExc_TypeError, "Expected str, got %.200s", Py_TYPE(value.ptr())->tp_name);
        throw nb::python_error();
    }
    return value;
}

} // namespace

void export_model_type(nb::module_ &m) {
    m.attr("check_model_type") =
        make_method({"check_model_type", "check_model_type", kModule, kDoc, "(model_dir)",
                     {{"model_dir", "str"}, {"return", "str | None"}}, vectorcall_entry<check_model_type_impl>});
}

} // namespace quillo::fetch
