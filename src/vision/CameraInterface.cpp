#include "vision/CameraInterface.h"

#include "core/StringHelper.h"

#include <utility>

namespace Camera {

std::string toLower(const std::string& text) { return StringHelper::ToLower(text); }

CameraInterface::CameraInterface(std::string typeId, std::string name)
    : typeId(std::move(typeId)), name(std::move(name)) {}

CameraInterface::~CameraInterface() = default;

}  // namespace Camera
