#include "core/volume/VolumeGeometry.h"

namespace korvalane {

VolumeGeometry& Geometry() {
  static VolumeGeometry geometry;
  return geometry;
}

}  // namespace korvalane
