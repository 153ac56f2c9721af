#include "python/python_host.h"

#include <utility>

namespace py = pybind11;

namespace pelvane {

namespace {

// A Ctrl-C waits at most this long for the job to notice it.
constexpr auto SIGNAL_CHECK_INTERVAL = std::chrono::milliseconds(50);

// While the share of work done stands still (a long solve, the writing of a strip), the
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
    messages_.push_back(text);
}

void PythonHost::show_done(const std::string& text)
{
    done_ = true;
    messages_.push_back(text);
}

void PythonHost::show_warning(const std::string& text)
{
    warnings_.push_back(text);
}

void PythonHost::call_progress(double fraction)
{
    if (progress_.is_none() && !main_thread_)
        return;
    last_signal_check_ = last_progress_call_ = std::chrono::steady_clock::now();
    last_fraction_ = fraction;
    with_gil([&] {
        // A caller that said stop has had its say: the job is stopping.
        if (progress_.is_none() || cancelled_)
            return;
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
}

int PythonHost::set_progress_position(int position)
{
    const int previous = position_;
    position_ = position;
    // The bar's positions are the dialog's; the callback hears the work done.
    // After its last message the job puts the bar back to 0: the caller hears
    // that the job is complete, too late to stop it.
    if (done_)
        call_progress(1.0);
    return previous;
}

void PythonHost::set_work_done(double fraction)
{
    call_progress(fraction);
}

void PythonHost::keep_alive()
{
    const auto now = std::chrono::steady_clock::now();
    if (!progress_.is_none() && !done_ && now - last_progress_call_ >= PROGRESS_REPEAT_INTERVAL) {
        call_progress(last_fraction_);
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
