// The compiled half of the `velmora` module: the library's calls, with the
// interpreter's lock released while files are read, and the tables handed
// over as numpy arrays that own the memory the load filled (no copy).
// The Python half (velmora/__init__.py) turns paths into bytes, the results
// into their classes and a stop into StopError.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>

#include "velmora/velmora.h"

namespace py = pybind11;
namespace api = velmora::api;

namespace {

// An array of `rows` x `columns` that takes over `memory` (from malloc).
template <class T>
py::array_t<T> arrayOwning(api::MallocBuffer<T> buffer, std::size_t rows, std::size_t columns) {
  T* memory = buffer.release();
  py::capsule owner(memory, [](void* p) { std::free(p); });
  if (columns == 1) return py::array_t<T>({rows}, {sizeof(T)}, memory, owner);
  return py::array_t<T>({rows, columns}, {columns * sizeof(T), sizeof(T)}, memory, owner);
}

py::object orNone(const std::optional<std::string>& text) {
  return text ? py::object(py::bytes(*text)) : py::object(py::none());
}

py::tuple readFile(const std::string& path) {
  api::DataFile file;
  {
    py::gil_scoped_release released;
    file = api::read(path);
  }
  py::list header;
  for (const api::LabelledNumber& number : file.header) {
    header.append(py::make_tuple(py::bytes(number.label), number.value, number.line));
  }
  py::object layout = file.layout == api::Layout::Layout1   ? py::object(py::int_(1))
                      : file.layout == api::Layout::Layout2 ? py::object(py::int_(2))
                                                            : py::object(py::str("plain"));
  const std::size_t rows = file.rows;
  return py::make_tuple(layout, py::bytes(std::string(1, file.formatCode)), py::bytes(file.title), header,
                        arrayOwning(std::move(file.table), rows, 3), arrayOwning(std::move(file.lines), rows, 1),
                        file.rowsPastLimit);
}

py::tuple resultTuple(const api::Result& result) { return py::make_tuple(result.total, result.line); }

py::tuple compareFiles(const std::string& reference, const std::string& compared) {
  api::Result result;
  {
    py::gil_scoped_release released;
    result = api::compare(reference, compared);
  }
  return resultTuple(result);
}

py::tuple runFolder(const std::string& folder) {
  api::Result result;
  {
    py::gil_scoped_release released;
    result = api::run(folder);
  }
  return resultTuple(result);
}

std::string explainPair(const std::string& reference, const std::string& compared, std::size_t top) {
  py::gil_scoped_release released;
  return api::explain(reference, compared, top);
}

}  // namespace

PYBIND11_MODULE(_velmora, module) {
  module.doc() = "velmora's reader and comparison run (use the velmora package, not this module)";
  static py::exception<std::exception> stop(module, "Stop");
  py::register_exception_translator([](std::exception_ptr thrown) {
    try {
      if (thrown) std::rethrow_exception(thrown);
    } catch (const api::StopError& error) {
      py::dict facts;
      facts["text"] = py::bytes(error.what());
      facts["statement"] = error.statement;
      facts["channel"] = error.channel;
      facts["file"] = orNone(error.file);
      facts["line"] = error.line;
      facts["item"] = error.item;
      facts["kind"] = api::stopKindName(error.kind);
      facts["reason"] = error.reason ? py::object(py::str(*error.reason)) : py::object(py::none());
      PyErr_SetObject(stop.ptr(), py::make_tuple(facts).ptr());
    } catch (const std::system_error& error) {
      const int number = error.code().value();
      PyErr_SetObject(PyExc_OSError, py::make_tuple(number, std::string(std::strerror(number))).ptr());
    }
  });
  module.def("read", &readFile, py::arg("path"));
  module.def("compare", &compareFiles, py::arg("reference"), py::arg("compared"));
  module.def("run", &runFolder, py::arg("folder"));
  module.def("explain", &explainPair, py::arg("reference"), py::arg("compared"), py::arg("top"));
}
