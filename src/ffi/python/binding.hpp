// Everything a class or function file of the binding layer needs: the class builder and entry
// frame, argument and array conversions, enums, the module registration and the robot state.
#pragma once

#include "ffi/python/array.hpp"
#include "ffi/python/class_def.hpp"
#include "ffi/python/enum_class.hpp"
#include "ffi/python/module.hpp"
#include "ffi/python/robot_state.hpp"
