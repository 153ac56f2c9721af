// pelvane._pelvane: the job's settings records and run_job, for the pelvane
// package. The package's fill() and fill_files() build the settings; this
// module only checks and runs the job, with the GIL released, and turns its
// outcome into Python's terms: a stopping message raises Error with the
// message's text (and its detail lines as the error's `detail` and note), a
// stop asked for by the progress callback raises Cancelled, the job's other
// messages and its warnings become JobWarning warnings.
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "job/job_messages.h"
#include "job/job_settings.h"
#include "job/output_file.h"
#include "job/process_tuning.h"
#include "job/run_job.h"
#include "job/sample_type.h"
#include "job/settings_check.h"
#include "python/python_host.h"

namespace py = pybind11;
using namespace pybind11::literals;

namespace pelvane {

namespace {

// Exception and warning classes, made once when the module is imported and
// kept for the life of the process (the module holds them too).
PyObject* error_type = nullptr;
PyObject* cancelled_type = nullptr;
PyObject* warning_type = nullptr;

// Raises `type` with the message's text; the detail lines become the
// error's `detail` and a note that tracebacks show after the message.
[[noreturn]] void raise(PyObject* type, const std::string& text, const std::string& detail = {})
{
    py::object error = py::reinterpret_borrow<py::object>(type)(text);
    error.attr("detail") = detail;
    if (!detail.empty() && py::hasattr(error, "add_note"))
        error.attr("add_note")(detail);
    PyErr_SetObject(type, error.ptr());
    throw py::error_already_set();
}

// The messages a job showed on its way that did not end it, and its
// warnings, each text once, attributed to the caller of fill() or fill_files().
void warn_about(const std::vector<std::string>& messages, std::size_t count,
                const std::vector<std::string>& warnings)
{
    std::set<std::string> seen;
    auto warn = [&](const std::string& text) {
        if (seen.insert(text).second && PyErr_WarnEx(warning_type, text.c_str(), 2) != 0)
            throw py::error_already_set();
    };
    for (std::size_t i = 0; i < count; ++i)
        warn(messages[i]);
    for (const std::string& text : warnings)
        warn(text);
}

std::vector<std::string> run(JobSettings settings, const RunOptions& options, py::object progress)
{
    PythonHost host(std::move(progress));
    JobResult result;
    {
        py::gil_scoped_release release;
        result = run_job(settings, host, options);
    }
    // A Ctrl-C, or an exception of the callback itself, goes on as it is.
    host.raise_pending_error();

    const std::vector<std::string>& messages = host.messages();
    if (messages.empty())
        raise(error_type, msg::UNEXPECTED_ERROR);
    warn_about(messages, messages.size() - 1, host.warnings());
    switch (result.end) {
    case JobEnd::done:
        break;
    case JobEnd::stopped:
        // Stopped for the callback's answer, or for a Ctrl-C raised above.
        raise(host.cancelled() ? cancelled_type : error_type, result.message, result.detail);
    case JobEnd::failed:
    case JobEnd::out_of_memory:
        // A job that failed on its own before it saw the request reports why.
        raise(error_type, result.message, result.detail);
    }
    // Asked to stop after its last check: the caller still said stop.
    if (host.cancelled())
        raise(cancelled_type, msg::STOPPED);
    return messages;
}

// The checks of check_settings: None, or (setting, problem).
py::object settings_problem(const JobSettings& settings, const RunOptions& options)
{
    const auto problem = check_settings(settings, options);
    if (!problem)
        return py::none();
    return py::make_tuple(problem->setting, problem->problem);
}

PyObject* new_class(py::module_& m, const char* name, const char* doc, PyObject* base,
                    PyObject* attributes = nullptr)
{
    const std::string qualified = std::string("pelvane.") + name;
    PyObject* type = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, base, attributes);
    if (type == nullptr)
        throw py::error_already_set();
    m.add_object(name, py::reinterpret_borrow<py::object>(type));
    return type;
}

}  // namespace

}  // namespace pelvane

PYBIND11_MODULE(_pelvane, m)
{
    using namespace pelvane;
    m.doc() = "The gap-filling job behind the pelvane package: its settings and run_job.";
    m.attr("__version__") = PELVANE_VERSION;

    py::dict error_attributes;
    error_attributes["detail"] = "";
    error_type = new_class(m, "Error",
                           "A job ended with one of its messages; str(error) is the message's text. "
                           "error.detail holds the lines that follow it: the file it is about (and "
                           "both sizes where two disagree) and what GDAL said; tracebacks show them "
                           "as a note.",
                           PyExc_Exception, error_attributes.ptr());
    cancelled_type = new_class(m, "Cancelled",
                               "The progress callback returned False and the job stopped.",
                               error_type);
    warning_type = new_class(m, "JobWarning",
                             "A message the job showed without ending, such as the fallback "
                             "regression's \"alr Error!\", or one of its warnings: most of the "
                             "target is gaps, none is, what GDAL warned of.",
                             PyExc_UserWarning);

    py::class_<JobSettings>(m, "JobSettings", "The settings of one job, with the form's defaults.")
        .def(py::init<>())
        .def_readwrite("fill_image_path", &JobSettings::fill_image_path)
        .def_readwrite("fill_mask_path", &JobSettings::fill_mask_path)
        .def_readwrite("other_fill_image_paths", &JobSettings::other_fill_image_paths)
        .def_readwrite("other_fill_mask_paths", &JobSettings::other_fill_mask_paths)
        .def_readwrite("valid_min", &JobSettings::valid_min)
        .def_readwrite("valid_max", &JobSettings::valid_max)
        .def_readwrite("similar_pixel_count", &JobSettings::similar_pixel_count)
        .def_readwrite("output_image_path", &JobSettings::output_image_path)
        .def_readwrite("use_threshold", &JobSettings::use_threshold)
        .def_readwrite("target_image_path", &JobSettings::target_image_path)
        .def_readwrite("target_mask_path", &JobSettings::target_mask_path)
        .def_readwrite("use_tolvek", &JobSettings::use_tolvek)
        .def_readwrite("regularization", &JobSettings::regularization)
        .def_readwrite("use_sarnic", &JobSettings::use_sarnic)
        .def_readwrite("max_iterations", &JobSettings::max_iterations)
        .def_readwrite("use_nodata", &JobSettings::use_nodata)
        .def_readwrite("refine", &JobSettings::refine)
        .def_readwrite("status_output_path", &JobSettings::status_output_path)
        .def_readwrite("error_output_path", &JobSettings::error_output_path);

    py::class_<RunOptions>(m, "RunOptions", "What the command line offers beyond the form.")
        .def(py::init<>())
        .def_readwrite("creation_options", &RunOptions::creation_options)
        .def_readwrite("output_format", &RunOptions::output_format)
        .def_readwrite("threads", &RunOptions::threads)
        .def_readwrite("solver_tolerance", &RunOptions::solver_tolerance)
        .def_readwrite("solver_progress", &RunOptions::solver_progress)
        .def_readwrite("strip_budget", &RunOptions::strip_budget);

    m.def("run_job", &run, "settings"_a, "options"_a, "progress"_a = py::none(),
          "Runs one job without the GIL and returns the messages it showed, the last being "
          "\"Job Done:Total Time:... ms\". Raises Error with the text of the message that "
          "stopped it, or Cancelled when `progress` returned False.");
    m.def("check_settings", &settings_problem, "settings"_a, "options"_a,
          "The checks every front end makes before a job: None, or (setting, problem) with the "
          "setting named as pelvane-cli's option without dashes and the problem worded to follow "
          "it, e.g. (\"threads\", \"must be at least 1\").");
    m.def("same_file", &same_file, "a"_a, "b"_a,
          "True when both paths name one file (links and other spellings included), as the job "
          "compares its output with its inputs.");
    m.attr("OUTPUT_IS_INPUT") = msg::OUTPUT_IS_INPUT;
    m.attr("STATUS_IS_INPUT") = msg::STATUS_IS_INPUT;
    m.attr("ERROR_IS_INPUT") = msg::ERROR_IS_INPUT;
    m.def("raster_sample_type_name", &raster_sample_type_name, "path"_a,
          "GDAL's name of the sample type of the raster's first band, as pelvane-cli names it "
          "(\"Int8\" for signed bytes); \"\" when it cannot be opened or has no band.");
    m.def("tune_process_for_strips", &tune_process_for_strips,
          "Tunes malloc and GDAL's block cache of this process for strip-sized buffers, as "
          "pelvane-cli does at start-up. For processes that run many jobs.");
}
