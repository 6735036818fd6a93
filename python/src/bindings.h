#pragma once
// Shared pieces of the kav_t8._native module: the owner of objects that a
// script may close, and the checks of numbers that come from Python.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <Eigen/Core>
#include <cstddef>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace kav_py {

namespace py = pybind11;

/// What the module closes at interpreter exit: one owned C++ object.
class Slot {
 public:
  virtual ~Slot() = default;
  /// Destroys the object once no call uses it any more; later calls fail.
  virtual void destroy() = 0;
};

/// Remembers @p slot for closeAll(). Lower ranks close first: arms before
/// the simulated motors before the bus hubs, so that an arm still finds its
/// motors while it stops.
void registerSlot(const std::weak_ptr<Slot>& slot, int rank);

/// Destroys every object still alive, lowest rank first, with the GIL
/// released. Runs at interpreter exit.
void closeAll();

/// Owns one C++ object for a Python object and lets Python threads use it
/// while others close it.
///
/// Every call runs with the GIL released under a shared lock, so calls from
/// several Python threads run side by side and a blocking call does not stall
/// the interpreter; closing takes the lock exclusively, so it waits for calls
/// in progress and the object is never destroyed under one. After close()
/// every call raises RuntimeError.
template <class T>
class Owner {
 public:
  Owner(std::unique_ptr<T> object, const char* name, int rank)
      : slot_(std::make_shared<TypedSlot>(std::move(object))), name_(name) {
    registerSlot(slot_, rank);
  }

  ~Owner() {
    // Destroying the object may block (an arm takes more than a second).
    if (PyGILState_Check()) {
      py::gil_scoped_release release;
      slot_->destroy();
    } else {
      slot_->destroy();
    }
  }
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;

  /// Runs @p f on the object with the GIL released.
  /// @throw std::runtime_error when the object was closed
  template <class F>
  auto use(F&& f) -> decltype(f(std::declval<T&>())) {
    py::gil_scoped_release release;
    std::shared_lock<std::shared_mutex> lock(slot_->mutex);
    if (!slot_->object) throw std::runtime_error(std::string(name_) + " is closed");
    return f(*slot_->object);
  }

  /// Destroys the object after the calls in progress; closing again does
  /// nothing.
  void close() {
    py::gil_scoped_release release;
    slot_->destroy();
  }

  bool closed() {
    py::gil_scoped_release release;
    std::shared_lock<std::shared_mutex> lock(slot_->mutex);
    return !slot_->object;
  }

 private:
  struct TypedSlot : Slot {
    explicit TypedSlot(std::unique_ptr<T> owned) : object(std::move(owned)) {}
    void destroy() override {
      std::unique_lock<std::shared_mutex> lock(mutex);
      object.reset();
    }
    std::shared_mutex mutex;
    std::unique_ptr<T> object;
  };

  std::shared_ptr<TypedSlot> slot_;
  const char* name_;
};

/// Adds close(), the `closed` property and the context-manager protocol to
/// the binding of an Owner.
template <class Holder, class Class>
void addLifecycle(Class& cls, const char* close_doc) {
  cls.def("close", &Holder::close, close_doc)
      .def_property_readonly("closed", &Holder::closed, "True once close() has run.")
      .def(
          "__enter__", [](py::object self) { return self; }, "Returns the object itself.")
      .def(
          "__exit__",
          [](Holder& self, py::object, py::object, py::object) {
            self.close();
            return false;
          },
          py::arg("exc_type"), py::arg("exc_value"), py::arg("traceback"),
          "Calls close(), also when the block raised; the exception goes on.");
}

/// @throw std::invalid_argument unless @p values holds at least @p count
///        values of which the first @p count are finite
void requireValues(const std::vector<double>& values, std::size_t count, const char* what);
/// As requireValues, and no more than @p count values either.
void requireExactly(const std::vector<double>& values, std::size_t count, const char* what);

/// A matrix argument: anything numpy turns into an array of doubles.
using Array4x4 = py::array_t<double, py::array::c_style | py::array::forcecast>;

/// The 4x4 matrix in @p array.
/// @throw std::invalid_argument unless @p array is 4x4 with finite rows 0-2
Eigen::Matrix4d matrixFromArray(const Array4x4& array, const char* what);

// Parts of the module, each in its own source file.
void bindArm(py::module_& m);         // InterfacesPy
void bindKinematics(py::module_& m);  // InterfacesToolsPy, KinematicSolver, the solve routines
void bindSimulator(py::module_& m);   // BusHub, SimulatedArm (when built with the simulator)

/// Ranks of closeAll().
constexpr int kRankArm = 0;
constexpr int kRankSimulatedArm = 1;
constexpr int kRankBusHub = 2;

}  // namespace kav_py
