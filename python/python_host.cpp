#include "python/python_host.h"

#include <utility>

namespace py = pybind11;

namespace pelvane {

namespace {

// A Ctrl-C waits at most this long for the job to notice it.
constexpr auto SIGNAL_CHECK_INTERVAL = std::chrono::milliseconds(50);

// While the bar stands still (a long solve, the writing of a strip), the
// progress callback hears the same fraction again this often, so that its
// answer False stops the job well within a second (QGIS's Cancel button).
constexpr auto PROGRESS_REPEAT_INTERVAL = std::chrono::milliseconds(250);

bool on_main_thread()
{
    py::module_ threading = py::module_::import("threading");
    return threading.attr("main_thread")().is(threading.attr("current_thread")());
}

}  // namespace

PythonHost::PythonHost(py::object progress)
    : progress_(std::move(progress)),
      main_thread_(on_main_thread()),
      last_signal_check_(std::chrono::steady_clock::now()),
      last_progress_call_(last_signal_check_)
{
}

PythonHost::~PythonHost()
{
    // Python objects are released with the GIL, whoever destroys the host.
    py::gil_scoped_acquire gil;
    progress_ = py::object();
    pending_error_.reset();
}

template <class Call>
void PythonHost::with_gil(Call call)
{
    py::gil_scoped_acquire gil;
    if (pending_error_)
        return;
    try {
        if (main_thread_ && PyErr_CheckSignals() != 0)
            throw py::error_already_set();
        call();
    } catch (py::error_already_set& error) {
        pending_error_.emplace(std::move(error));
        stop_ = true;
    }
}

void PythonHost::show_message(const std::string& text)
{
    // The job resets the bar after its last message.
    if (text.rfind("Job Done:", 0) == 0)
        done_ = true;
    messages_.push_back(text);
}

int PythonHost::set_progress_position(int position)
{
    const int previous = position_;
    position_ = position;
    if (progress_.is_none() && !main_thread_)
        return previous;
    last_signal_check_ = last_progress_call_ = std::chrono::steady_clock::now();
    with_gil([&] {
        if (progress_.is_none())
            return;
        // After its last message the job puts the bar back to 0; the caller
        // hears that the job is complete, too late to stop it.
        const double fraction = done_ ? 1.0 : static_cast<double>(position) / progress_range;
        const py::object answer = progress_(fraction);
        if (done_ || answer.is_none())
            return;
        const int truth = PyObject_IsTrue(answer.ptr());
        if (truth < 0)
            throw py::error_already_set();
        if (truth == 0) {
            cancelled_ = true;
            stop_ = true;
        }
    });
    return previous;
}

void PythonHost::keep_alive()
{
    const auto now = std::chrono::steady_clock::now();
    if (!progress_.is_none() && !done_ && now - last_progress_call_ >= PROGRESS_REPEAT_INTERVAL) {
        set_progress_position(position_);
        return;
    }
    if (!main_thread_ || now - last_signal_check_ < SIGNAL_CHECK_INTERVAL)
        return;
    last_signal_check_ = now;
    with_gil([] {});
}

void PythonHost::raise_pending_error()
{
    if (pending_error_) {
        py::error_already_set error = std::move(*pending_error_);
        pending_error_.reset();
        throw error;
    }
}

}  // namespace pelvane
