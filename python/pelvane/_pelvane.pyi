# Type hints of the compiled job module.
from collections.abc import Callable

__version__: str

class Error(Exception):
    detail: str
class Cancelled(Error): ...
class JobWarning(UserWarning): ...

class JobSettings:
    fill_image_path: str
    fill_mask_path: str
    valid_min: float
    valid_max: float
    similar_pixel_count: int
    output_image_path: str
    use_threshold: int
    target_image_path: str
    target_mask_path: str
    use_tolvek: int
    regularization: float
    use_sarnic: int
    max_iterations: int
    use_nodata: int
    refine: int
    status_output_path: str
    error_output_path: str
    other_fill_image_paths: list[str]
    other_fill_mask_paths: list[str]
    def __init__(self) -> None: ...

class RunOptions:
    creation_options: list[str]
    output_format: str
    threads: int
    solver_tolerance: float
    solver_progress: bool
    strip_budget: int
    def __init__(self) -> None: ...

def run_job(settings: JobSettings, options: RunOptions,
            progress: Callable[[float], bool | None] | None = None) -> list[str]: ...
def check_settings(settings: JobSettings, options: RunOptions) -> tuple[str, str] | None: ...
def same_file(a: str, b: str) -> bool: ...
OUTPUT_IS_INPUT: str
STATUS_IS_INPUT: str
ERROR_IS_INPUT: str
def raster_sample_type_name(path: str) -> str: ...
def tune_process_for_strips() -> None: ...
