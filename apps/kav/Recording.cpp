#include "Recording.h"

#include <sys/stat.h>

#include <ctime>
#include <stdexcept>

#include "Console.h"

namespace kav {
namespace tool {

namespace {

constexpr hsize_t kChunkRows = 4096;

void check(herr_t status, const char* what) {
  if (status < 0) throw std::runtime_error(std::string("HDF5: cannot ") + what);
}

hid_t checked(hid_t id, const char* what) {
  if (id < 0) throw std::runtime_error(std::string("HDF5: cannot ") + what);
  return id;
}

void writeStringAttribute(hid_t object, const char* name, const std::string& value) {
  const hid_t type = checked(H5Tcopy(H5T_C_S1), "make a string type");
  H5Tset_size(type, H5T_VARIABLE);
  H5Tset_cset(type, H5T_CSET_UTF8);
  const hid_t space = H5Screate(H5S_SCALAR);
  const hid_t attribute = H5Acreate2(object, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
  const char* text = value.c_str();
  const herr_t written = attribute < 0 ? -1 : H5Awrite(attribute, type, &text);
  if (attribute >= 0) H5Aclose(attribute);
  H5Sclose(space);
  H5Tclose(type);
  check(written, "write an attribute");
}

// One growing one-dimensional dataset and the values waiting for it.
template <class T>
class Column {
 public:
  Column(hid_t group, const char* name, hid_t type) : type_(type) {
    const hsize_t size = 0, limit = H5S_UNLIMITED;
    const hid_t space = checked(H5Screate_simple(1, &size, &limit), "make a dataspace");
    const hid_t properties = H5Pcreate(H5P_DATASET_CREATE);
    H5Pset_chunk(properties, 1, &kChunkRows);
    dataset_ = H5Dcreate2(group, name, type, space, H5P_DEFAULT, properties, H5P_DEFAULT);
    H5Pclose(properties);
    H5Sclose(space);
    checked(dataset_, "create a dataset");
  }
  ~Column() { H5Dclose(dataset_); }
  Column(const Column&) = delete;
  Column& operator=(const Column&) = delete;

  hid_t dataset() const { return dataset_; }
  void push(T value) { pending_.push_back(value); }

  void write() {
    if (pending_.empty()) return;
    const hsize_t count = pending_.size();
    const hsize_t extent = rows_ + count;
    check(H5Dset_extent(dataset_, &extent), "extend a dataset");
    const hid_t file_space = checked(H5Dget_space(dataset_), "select rows");
    H5Sselect_hyperslab(file_space, H5S_SELECT_SET, &rows_, nullptr, &count, nullptr);
    const hid_t memory_space = H5Screate_simple(1, &count, nullptr);
    const herr_t written = H5Dwrite(dataset_, type_, memory_space, file_space, H5P_DEFAULT, pending_.data());
    H5Sclose(memory_space);
    H5Sclose(file_space);
    check(written, "write rows");
    rows_ = extent;
    pending_.clear();
  }

 private:
  hid_t type_;
  hid_t dataset_ = -1;
  hsize_t rows_ = 0;
  std::vector<T> pending_;
};

hid_t makeGroup(hid_t parent, const char* name) {
  return checked(H5Gcreate2(parent, name, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), "create a group");
}

}  // namespace

// The datasets of one motor in one direction.
class Recording::Table {
 public:
  Table(hid_t parent, const char* name, bool commands) : group_(makeGroup(parent, name)) {
    const hid_t f64 = H5T_NATIVE_DOUBLE;
    time_ = std::make_unique<Column<double>>(group_, "time", f64);
    if (commands) {
      for (const char* field : {"kp", "kd", "position", "velocity", "torque"}) {
        values_.push_back(std::make_unique<Column<double>>(group_, field, f64));
      }
      kind_ = std::make_unique<Column<std::int8_t>>(group_, "kind", H5T_NATIVE_INT8);
      writeStringAttribute(kind_->dataset(), "values",
                           "0 hybrid, 1 enable, 2 disable, 3 set zero, 4 clear error");
    } else {
      for (const char* field : {"position", "velocity", "current"}) {
        values_.push_back(std::make_unique<Column<double>>(group_, field, f64));
      }
      error_ = std::make_unique<Column<std::int32_t>>(group_, "error", H5T_NATIVE_INT32);
    }
  }
  ~Table() {
    values_.clear();
    time_.reset();
    kind_.reset();
    error_.reset();
    H5Gclose(group_);
  }

  void push(double time, const hw_interface::MotorCommand& c) {
    time_->push(time);
    const double values[] = {c.k_p, c.k_d, c.position, c.velocity, c.torque};
    for (std::size_t i = 0; i < values_.size(); ++i) values_[i]->push(values[i]);
    kind_->push(static_cast<std::int8_t>(c.kind));
  }

  void push(double time, const Feedback& f) {
    time_->push(time);
    const double values[] = {f.position, f.velocity, f.current};
    for (std::size_t i = 0; i < values_.size(); ++i) values_[i]->push(values[i]);
    error_->push(f.error);
  }

  void write() {
    time_->write();
    for (auto& column : values_) column->write();
    if (kind_) kind_->write();
    if (error_) error_->write();
  }

 private:
  hid_t group_;
  std::unique_ptr<Column<double>> time_;
  std::vector<std::unique_ptr<Column<double>>> values_;
  std::unique_ptr<Column<std::int8_t>> kind_;
  std::unique_ptr<Column<std::int32_t>> error_;
};

std::string isoTime(std::chrono::system_clock::time_point time) {
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[40];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
  return format("%s.%06lldZ", text, static_cast<long long>(micros % 1000000));
}

Recording::Recording(const std::string& path, const std::string& bus, bool replace) {
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);  // failures are reported as exceptions instead
  struct stat existing;
  if (!replace && ::stat(path.c_str(), &existing) == 0) {
    throw std::runtime_error(path + " exists (--replace overwrites it)");
  }
  file_ = H5Fcreate(path.c_str(), replace ? H5F_ACC_TRUNC : H5F_ACC_EXCL, H5P_DEFAULT, H5P_DEFAULT);
  if (file_ < 0) throw std::runtime_error("cannot create " + path);
  try {
    const hid_t commands = makeGroup(file_, "commands");
    const hid_t feedback = makeGroup(file_, "feedback");
    for (int j = 0; j < config::kMotors; ++j) {
      command_tables_[j] = std::make_unique<Table>(commands, jointName(j), true);
      feedback_tables_[j] = std::make_unique<Table>(feedback, jointName(j), false);
    }
    H5Gclose(commands);
    H5Gclose(feedback);
    start_ = Clock::now();
    writeStringAttribute(file_, "bus", bus);
    writeStringAttribute(file_, "start_time", isoTime(std::chrono::system_clock::now()));
    check(H5Fflush(file_, H5F_SCOPE_GLOBAL), "flush the file");
  } catch (...) {
    for (auto& table : command_tables_) table.reset();
    for (auto& table : feedback_tables_) table.reset();
    H5Fclose(file_);
    throw;
  }
}

Recording::~Recording() {
  try {
    flush();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kav record: %s\n", error.what());
  }
  for (auto& table : command_tables_) table.reset();
  for (auto& table : feedback_tables_) table.reset();
  H5Fclose(file_);
}

std::string BusRecording::counts() const {
  std::string text = format("%llu commands, %llu feedback", static_cast<unsigned long long>(commands_),
                            static_cast<unsigned long long>(feedback_));
  if (keeps_frames_) text += format(", %llu frames", static_cast<unsigned long long>(frames_));
  return text;
}

void BusRecording::count(const std::vector<BusEvent>& events) {
  for (const BusEvent& event : events) {
    commands_ += event.kind == BusEvent::Kind::kCommand;
    feedback_ += event.kind == BusEvent::Kind::kFeedback;
  }
}

void Recording::add(const std::vector<BusEvent>& events, const std::vector<SeenFrame>&) {
  for (const BusEvent& event : events) {
    const double time = std::chrono::duration<double>(event.time - start_).count();
    if (event.kind == BusEvent::Kind::kCommand) {
      command_tables_[event.joint]->push(time, event.command);
    } else if (event.kind == BusEvent::Kind::kFeedback) {
      feedback_tables_[event.joint]->push(time, event.feedback);
    }
  }
  count(events);
}

void Recording::flush() {
  for (auto& table : command_tables_) table->write();
  for (auto& table : feedback_tables_) table->write();
  check(H5Fflush(file_, H5F_SCOPE_GLOBAL), "flush the file");
}

}  // namespace tool
}  // namespace kav
