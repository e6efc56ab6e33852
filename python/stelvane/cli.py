"""The ``stelvane`` command: position fixes from image files, the catalog builder and the demo.

    stelvane solve sky.fits --focal 2200 --up 0.02,-0.61,0.79
    stelvane solve night/ --fov 180 --up 0,0,1 --csv night.csv --geojson night.geojson
    stelvane calibrate frames/ --focal 2200 --up 0.02,-0.61,0.79 -o camera.json
    stelvane solve sky.fits --camera camera.json --up 0.02,-0.61,0.79
    stelvane solve archive/ --fov 180 --up 0,0,1 --workers 8 --csv archive.csv
    stelvane catalog --mag-limit 6 --catalog-out stars.scat --pairs-out stars.sprs
    stelvane demo --lens pinhole

Exit status: 0 when every file solved, 1 when some did not, 2 for a usage error.
"""

from __future__ import annotations

import argparse
import contextlib
import datetime as dt
import json
import math
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from pathlib import Path
from typing import IO, Any, NoReturn, TypeVar

import numpy as np

import stelvane
from stelvane import files
from stelvane.batch import absolute_catalog_spec, iter_solve, local_cluster
from stelvane.io import ReadError, TimeError, parse_utc, read_frame

PROG = "stelvane"
T = TypeVar("T")
EXIT_SOLVED, EXIT_SOME_FAILED, EXIT_USAGE = 0, 1, 2


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see --help)\n")


def _up_vector(text: str) -> tuple[float, float, float]:
    try:
        parts = tuple(float(v) for v in text.split(","))
    except ValueError:
        parts = ()
    if len(parts) != 3 or not all(math.isfinite(v) for v in parts):
        raise argparse.ArgumentTypeError(f"expected three finite numbers X,Y,Z, got {text!r}")
    return parts  # type: ignore[return-value]


def _real(text: str, accept: Callable[[float], bool], wanted: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and accept(value)):
        raise argparse.ArgumentTypeError(f"expected {wanted}, got {text!r}")
    return value


def _positive(text: str) -> float:
    return _real(text, lambda v: v > 0.0, "a positive number")


def _non_negative(text: str) -> float:
    return _real(text, lambda v: v >= 0.0, "a number >= 0")


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a whole number >= 0, got {text!r}")
    return value


def _add_lens_options(p: argparse.ArgumentParser) -> None:
    lens = p.add_argument_group("lens (as for stelvane.resolve_fix)")
    lens.add_argument("--focal", type=_positive, metavar="F",
                      help="focal length in pixels (focal_px): a pinhole, or with --fov and --k1..--k4 a "
                           "calibrated fisheye")
    lens.add_argument("--fov", type=_positive, metavar="DEG",
                      help="fisheye field of view in degrees (fisheye_fov_deg); alone, the ideal equidistant "
                           "fisheye whose field fills the frame's shorter side")
    lens.add_argument("--cx", type=float, metavar="X", help="principal point column (default: width / 2)")
    lens.add_argument("--cy", type=float, metavar="Y", help="principal point row (default: height / 2)")
    for power, k in zip((3, 5, 7, 9), ("k1", "k2", "k3", "k4")):
        lens.add_argument(f"--{k}", type=float, default=0.0, metavar="K",
                          help=f"calibrated fisheye coefficient of theta^{power} (with --fov and --focal)")


def _add_vertical_options(p: argparse.ArgumentParser, required: bool) -> argparse._ArgumentGroup:
    where = p.add_argument_group("vertical and instant")
    up = where.add_mutually_exclusive_group(required=required)
    up.add_argument("--up", type=_up_vector, metavar="X,Y,Z",
                    help="the local vertical in the camera frame (up_cam), for every file")
    up.add_argument("--up-csv", metavar="FILE",
                    help="a CSV file with the header path,up_x,up_y,up_z: one vertical per image file")
    where.add_argument("--utc", metavar="ISO8601",
                   help="the mid-exposure instant with its offset (2024-03-20T03:06:00+00:00), overriding the "
                        "files' own times")
    return where


def _add_solve_options(p: argparse.ArgumentParser) -> None:
    _add_vertical_options(p, required=True)
    solve = p.add_argument_group("solve")
    solve.add_argument("--catalog", metavar="allsky|pinhole|CAT,PAIRS",
                       help="star catalog: a bundled name or a catalog and pair-index file (default: allsky for a "
                            "fisheye or a field wider than 30 degrees across, otherwise pinhole)")
    solve.add_argument("--sigma", type=_positive, metavar="ARCMIN",
                       help="one star's altitude standard deviation (sigma_arcmin; default half a pixel, at least "
                            "1 arcminute)")
    solve.add_argument("--max-centroids", type=_count, metavar="N",
                       help="brightest detections used (max_centroids; default 12)")
    solve.add_argument("--use-sun", action="store_true", help="find the Sun's disc and use it in the fit")
    solve.add_argument("--mask", metavar="FILE",
                       help="obstruction mask: a .npy bool array or an image whose non-zero pixels are not sky")
    budget = p.add_argument_group("error budget (as for stelvane.error_budget)")
    budget.add_argument("--up-sigma", type=_non_negative, default=0.0, metavar="ARCMIN",
                        help="the vertical's standard deviation per axis (up_sigma_arcmin; default 0): about 3-6 "
                             "for a phone's MEMS accelerometer, 0.5-1 for a good inclinometer")
    budget.add_argument("--clock-sigma", type=_non_negative, default=0.0, metavar="S",
                        help="the clock's standard deviation in seconds (clock_sigma_s; default 0)")


def _workers(text: str) -> int:
    value = _count(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number >= 1, got {text!r}")
    return value


def _add_cluster_options(p: argparse.ArgumentParser) -> None:
    group = p.add_argument_group("cluster (Dask; pip install 'stelvane[batch]')")
    where = group.add_mutually_exclusive_group()
    where.add_argument("--workers", type=_workers, metavar="N",
                       help="solve on a local Dask cluster of N worker processes (one per core is the fastest)")
    where.add_argument("--scheduler", metavar="ADDRESS",
                       help="solve on the running Dask cluster whose scheduler is at ADDRESS (tcp://host:8786); "
                            "its workers must see the files at the same absolute paths")


def _add_output_options(p: argparse.ArgumentParser) -> None:
    out = p.add_argument_group("output")
    out.add_argument("--json", action="store_true", help="one JSON object per file (JSON Lines) on stdout")
    out.add_argument("--geojson", metavar="FILE", help="write a GeoJSON FeatureCollection of the fixes")
    out.add_argument("--csv", metavar="FILE", help="write one CSV row per file, in input order")
    out.add_argument("--plot", metavar="FILE.png",
                     help="write the annotated frame and the ellipse map (several files: FILE-<frame name>.png)")
    out.add_argument("--quiet", action="store_true", help="no progress bar and no summary line")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog=PROG, description="Celestial navigation from night-sky photographs.",
                     epilog="Exit status: 0 every file solved, 1 some failed, 2 usage error.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {stelvane.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                     parser_class=_Parser)
    solve = commands.add_parser(
        "solve", help="solve image files or folders for position",
        description="Solve each image file (FITS, PNG, JPEG, TIFF, camera RAW; folders for their image files) "
                    "for latitude and longitude. The instant comes from the file (FITS DATE-AVG or DATE-OBS + "
                    "EXPTIME/2; EXIF DateTimeOriginal + SubsecTimeOriginal + OffsetTimeOriginal + "
                    "ExposureTime/2) unless --utc is given.")
    solve.add_argument("paths", nargs="+", metavar="PATH", help="image files and folders")
    solve.set_defaults(parser=solve, run=solve_command)
    _add_lens_options(solve)
    solve.add_argument("--camera", metavar="FILE",
                       help="the lens from a calibration file (stelvane calibrate -o FILE), in place of --focal, "
                            "--fov, --cx, --cy and --k1..--k4")
    _add_solve_options(solve)
    _add_cluster_options(solve)
    _add_output_options(solve)
    _add_calibrate_parser(commands)
    commands.add_parser("catalog", add_help=False,
                        help="build a star catalog and pair index (stelvane catalog --help)")
    commands.add_parser("demo", add_help=False, help="render a sky, solve it and plot it (stelvane demo --help)")
    return parser


def _check_lens(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """The lens rules of resolve_fix, worded with the command's options and checked before any file is read."""
    distorted = any(getattr(args, k) != 0.0 for k in ("k1", "k2", "k3", "k4"))
    if getattr(args, "camera", None) is not None:
        if args.focal is not None or args.fov is not None or args.cx is not None or args.cy is not None or distorted:
            parser.error("--camera gives the whole lens: drop --focal, --fov, --cx, --cy and --k1..--k4")
        return
    if args.fov is None and args.focal is None:
        parser.error("give the lens: --focal F for a pinhole, or --fov DEG for a fisheye")
    if args.fov is None and distorted:
        parser.error("--k1..--k4 describe a calibrated fisheye: give --fov and --focal with them")
    if args.fov is not None and not distorted and args.focal is not None:
        parser.error("--focal is ignored by the ideal fisheye (--fov with --k1..--k4 all zero), whose focal fills "
                     "the frame's shorter side: drop --focal, or give the calibrated --k1..--k4")
    if args.fov is not None and distorted and args.focal is None:
        parser.error("a calibrated fisheye (non-zero --k1..--k4) needs --focal, its real radial scale")


def _or_usage_error(parser: argparse.ArgumentParser, label: str, load: Callable[[], T]) -> T:
    """Runs a loader of the run's shared inputs; its failure is a usage error naming the option."""
    try:
        return load()
    except (OSError, ValueError, stelvane.StelvaneError) as err:
        text = err.strerror if isinstance(err, OSError) and err.strerror else str(err)
        parser.error(f"{label}: {text}" if label else text)


def _utc_of(parser: argparse.ArgumentParser, args: argparse.Namespace) -> dt.datetime | None:
    """The instant of --utc for every file, or None to read each file's own."""
    try:
        return None if args.utc is None else parse_utc(args.utc)
    except TimeError as err:
        parser.error(str(err))


def _check_catalog(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """Refuses a bad --catalog before the first file is read."""
    if args.catalog is not None:
        _or_usage_error(parser, f"--catalog {args.catalog}", lambda: files.load_catalog(args.catalog))


def _up_table_of(parser: argparse.ArgumentParser, args: argparse.Namespace) -> files.UpTable | None:
    """The verticals of --up-csv, or None when one --up serves every file."""
    if args.up_csv is None:
        return None
    return _or_usage_error(parser, f"--up-csv {args.up_csv}", lambda: files.UpTable(args.up_csv))


class _Setup:
    """What every file of a run shares, prepared once from the options."""

    def __init__(self, parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
        _check_lens(parser, args)
        self.utc = _utc_of(parser, args)
        self.paths = _or_usage_error(parser, "", lambda: files.expand_paths(args.paths))
        _check_catalog(parser, args)
        self.mask = None if args.mask is None else _or_usage_error(parser, f"--mask {args.mask}",
                                                                   lambda: files.read_mask(args.mask))
        self.up_table = _up_table_of(parser, args)
        for option in ("csv", "geojson", "plot"):
            target = getattr(args, option)
            if target is not None and not Path(target).resolve().parent.is_dir():
                parser.error(f"--{option} {target}: folder {Path(target).resolve().parent} does not exist")
        self.folder_given = any(Path(p).is_dir() for p in args.paths)
        self.calibration = _calibration_of(parser, args)
        self.settings = files.SolveSettings(
            up_cam=args.up if self.up_table is None else None, up_table=self.up_table,
            # A remote worker opens catalog files by absolute path, as it does the image files.
            catalog=args.catalog if args.scheduler is None or args.catalog is None else
            absolute_catalog_spec(args.catalog),
            utc=self.utc, **_lens_of(args, self.calibration), sigma_arcmin=args.sigma, use_sun=args.use_sun,
            max_centroids=args.max_centroids, mask=self.mask, up_sigma_arcmin=args.up_sigma,
            clock_sigma_s=args.clock_sigma, calibration=self.calibration)


def _calibration_of(parser: argparse.ArgumentParser, args: argparse.Namespace) -> stelvane.Calibration | None:
    """The calibration file of --camera, read once for the run; None without it."""
    if getattr(args, "camera", None) is None:
        return None
    return _or_usage_error(parser, f"--camera {args.camera}", lambda: stelvane.Calibration.load(args.camera))


def _lens_of(args: argparse.Namespace, calibration: stelvane.Calibration | None) -> dict[str, Any]:
    """The lens keyword arguments of the run: the calibration's, or the lens options'."""
    if calibration is None:
        return dict(focal_px=args.focal, cx=args.cx, cy=args.cy, fisheye_fov_deg=args.fov, k1=args.k1, k2=args.k2,
                    k3=args.k3, k4=args.k4)
    return dict(calibration.solve_kwargs())


def format_text(result: files.FileFix) -> str:
    """One human-readable line for a solved file."""
    fix = result.fix
    assert fix is not None
    a, b, orientation = fix.ellipse_2sigma_nm
    utc = result.utc.astimezone(dt.timezone.utc).isoformat() if result.utc else "?"
    budget = ""
    if result.budget is not None:
        ba, bb, bo = result.budget.ellipse_2sigma_nm
        budget = f"budget 2-sigma {ba:.2f} x {bb:.2f} nm at {bo:+.1f} deg  "
    return (f"{result.path}: {fix.latitude_deg:+.5f} {fix.longitude_deg:+.5f} deg  "
            f"2-sigma {a:.2f} x {b:.2f} nm, major axis at {orientation:+.1f} deg  {budget}"
            f"{len(fix.matched_hr_ids)} stars, margin {fix.match_margin}, "
            f"rms {fix.residual_rms_rad * files.RAD_TO_ARCMIN:.2f} arcmin  "
            f"lens scale {fix.plate_scale_ratio:.5f} +- {fix.plate_scale_ratio_sigma:.5f}  {utc} ({result.utc_source})")


def _progress(items: Iterable[T], total: int, show: bool) -> tuple[Iterable[T], Any]:
    """The outcomes wrapped in a tqdm bar on stderr (hidden when stderr is no terminal), with its writer."""
    if show:
        try:
            from tqdm import tqdm  # type: ignore[import-untyped,import-not-found,unused-ignore]
        except ImportError:  # the bar is a convenience: without tqdm the run is silent
            pass
        else:
            bar = tqdm(items, total=total, desc=PROG, unit="file", file=sys.stderr, disable=None, leave=False)
            return bar, bar.write
    return items, None


def _emit(line: str, stream: IO[str], writer: Any) -> None:
    if writer is None:
        print(line, file=stream, flush=True)
    else:
        writer(line, file=stream)


def plot_targets(template: str, paths: Sequence[str]) -> list[str]:
    """Where --plot writes each file's plot: the template itself for one file; for several,
    TEMPLATE-<frame file name>.png beside it, numbered -2, -3, ... when frame names repeat."""
    if len(paths) == 1:
        return [template]
    out, targets = Path(template), []
    seen: dict[str, int] = {}
    for path in paths:
        name = Path(path).name
        seen[name] = seen.get(name, 0) + 1
        repeat = f"-{seen[name]}" if seen[name] > 1 else ""
        targets.append(str(out.with_name(f"{out.stem}-{name}{repeat}{out.suffix or '.png'}")))
    return targets


def _save_plot(result: files.FileFix, target: str) -> str:
    from stelvane.demo import save_fix_png

    assert result.fix is not None
    try:
        save_fix_png(target, read_frame(result.path).pixels, result.fix)
    except (OSError, stelvane.StelvaneError) as err:
        return f"{PROG}: {target}: plot not written: {err}"
    return ""


def _run_files(setup: _Setup, args: argparse.Namespace, client: Any) -> Iterator[files.FileFix]:
    several = len(setup.paths) > 1
    plots = plot_targets(args.plot, setup.paths) if args.plot else [""] * len(setup.paths)
    outcomes = iter_solve(setup.paths, setup.settings, client=client)
    items, writer = _progress(outcomes, len(setup.paths), show=not args.quiet and (setup.folder_given or several))
    for result, plot in zip(items, plots):
        path = result.path
        if args.json:
            _emit(json.dumps(result.record()), sys.stdout, writer)
        elif result.solved:
            _emit(format_text(result), sys.stdout, writer)
        if not result.solved:
            _emit(f"{PROG}: {path}: {result.error}", sys.stderr, writer)
        elif plot:
            problem = _save_plot(result, plot)
            if problem:
                _emit(problem, sys.stderr, writer)
        yield result


def _write_outputs(args: argparse.Namespace, results: list[files.FileFix]) -> bool:
    """The table and map files; false when one could not be written (reported on stderr)."""
    ok = True
    for option, target, write in (
        ("--csv", args.csv, lambda t: files.write_csv(t, results)),
        ("--geojson", args.geojson, lambda t: Path(t).write_text(json.dumps(files.geojson(results)) + "\n")),
    ):
        if target is None:
            continue
        try:
            write(target)
        except OSError as err:
            print(f"{PROG}: {option} {target}: {err.strerror or err}", file=sys.stderr)
            ok = False
    return ok


def _cluster(parser: argparse.ArgumentParser, args: argparse.Namespace, stack: contextlib.ExitStack) -> Any:
    """The Dask client that --workers or --scheduler asks for (closed with `stack`), or None to run here."""
    if args.workers is None and args.scheduler is None:
        return None
    try:
        from distributed import Client
    except ImportError:
        parser.error("--workers and --scheduler run on Dask: pip install 'stelvane[batch]'")
    if args.scheduler is not None:
        try:
            return stack.enter_context(Client(args.scheduler, timeout="20s"))
        except (OSError, TimeoutError, ValueError) as err:
            parser.error(f"--scheduler {args.scheduler}: {err}")
    client = stack.enter_context(Client(stack.enter_context(local_cluster(args.workers))))
    client.wait_for_workers(args.workers)
    return client


def solve_command(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    setup = _Setup(parser, args)
    with contextlib.ExitStack() as stack:
        results = list(_run_files(setup, args, _cluster(parser, args, stack)))
    written = _write_outputs(args, results)
    solved = sum(r.solved for r in results)
    if not args.quiet and len(results) > 1:
        print(f"{PROG}: {solved} of {len(results)} files solved", file=sys.stderr)
    return EXIT_SOLVED if solved == len(results) and written else EXIT_SOME_FAILED


def _add_calibrate_parser(commands: Any) -> None:
    p = commands.add_parser(
        "calibrate", help="fit the lens to the stars of image files",
        description="Calibrate the lens of one camera from its own star frames (stelvane.calibrate_camera): the "
                    "focal length, the principal point and, for a fisheye or with --fit-distortion, k1..k4, "
                    "starting from the lens options as the first guess. The instants (the files' own, or --utc) "
                    "and the vertical (--up or --up-csv) remove the bias of aberration and refraction; without "
                    "them the fitted focal comes out a few hundredths of a percent short.")
    p.add_argument("paths", nargs="+", metavar="PATH", help="image files and folders from one camera")
    p.add_argument("-o", "--output", required=True, metavar="FILE",
                   help="the calibration file (JSON) to write, for stelvane solve --camera FILE")
    p.set_defaults(parser=p, run=calibrate_command)
    _add_lens_options(p)
    _add_vertical_options(p, required=False)
    fit = p.add_argument_group("fit")
    fit.add_argument("--catalog", metavar="allsky|pinhole|CAT,PAIRS",
                     help="star catalog, as for solve (default: allsky for a fisheye, pinhole for a pinhole lens of "
                          "any field: a calibration wants many stars)")
    fit.add_argument("--scale-tolerance", type=_positive, default=0.05, metavar="FRACTION",
                     help="how far the true focal may be from the guess (scale_tolerance; default 0.05)")
    fit.add_argument("--fit-distortion", action="store_true", default=None,
                     help="fit k1..k4: a pinhole guess is then fitted as the calibrated-fisheye polynomial, for a "
                          "pinhole lens with radial distortion (a fisheye fits them without asking)")
    fit.add_argument("--sigma", type=_positive, metavar="ARCMIN",
                     help="one star's standard deviation for the identification (sigma_arcmin), as for solve")
    fit.add_argument("--max-residual", type=_positive, default=1.0, metavar="PX",
                     help="the largest residual rms accepted, pixels (max_residual_rms_px; default 1)")
    p.add_argument("--quiet", action="store_true", help="no summary line")


def format_calibration(cal: stelvane.Calibration, target: str) -> str:
    """One human-readable line for a calibration written to `target`."""
    errors = dict(zip(cal.parameter_names, cal.standard_errors))

    def value(name: str, number: float, digits: int) -> str:
        sigma = f" +- {errors[name]:.{digits}f}" if name in errors else ""
        return f"{name} {number:.{digits}f}{sigma}"

    kind = "pinhole" if cal.fisheye_fov_deg is None else f"polynomial fisheye {cal.fisheye_fov_deg:.1f} deg"
    parts = [value("focal_px", cal.focal_px, 3), value("cx", cal.cx, 2), value("cy", cal.cy, 2)]
    if "k1" in errors:
        parts += [value(f"k{i + 1}", k, 6) for i, k in enumerate(cal.k)]
    used = sum(1 for n in cal.frame_star_counts if n)
    return (f"{target}: {kind}, {', '.join(parts)}; rms {cal.residual_rms_px:.3f} px, {cal.n_stars} stars from "
            f"{used} of {len(cal.frame_star_counts)} frames, {cal.n_rejected} rejected")


def _calibration_frames(parser: argparse.ArgumentParser, args: argparse.Namespace) -> tuple[
        int, list[np.ndarray], list[dt.datetime | None], list[tuple[float, float, float] | None]]:
    """The readable frames of the run with their instants and verticals, and how many files were left out (each
    reported on stderr)."""
    utc = _utc_of(parser, args)
    paths = _or_usage_error(parser, "", lambda: files.expand_paths(args.paths))
    table = _up_table_of(parser, args)
    frames, times, ups = [], [], []
    for path in paths:
        try:
            frame = read_frame(path)
            up = args.up if table is None else table.lookup(path)
        except (ReadError, LookupError) as err:
            print(f"{PROG}: {path}: {err}", file=sys.stderr)
            continue
        frames.append(frame.pixels)
        times.append(utc or frame.utc)
        ups.append(up)
    return len(paths) - len(frames), frames, times, ups


def calibrate_command(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    _check_lens(parser, args)
    if not Path(args.output).resolve().parent.is_dir():
        parser.error(f"--output {args.output}: folder {Path(args.output).resolve().parent} does not exist")
    _check_catalog(parser, args)
    skipped, frames, times, ups = _calibration_frames(parser, args)
    if not frames:
        print(f"{PROG}: no frame could be read", file=sys.stderr)
        return EXIT_SOME_FAILED
    missing = sum(t is None for t in times)
    if missing and not args.quiet:
        print(f"{PROG}: {missing} of {len(times)} frames have no instant: calibrating without apparent places "
              f"(pass --utc or files with their times)", file=sys.stderr)
    catalog = files.load_catalog(args.catalog or ("allsky" if args.fov is not None else "pinhole"))
    # Instants and verticals go in only when every frame has its own.
    known_times = [t for t in times if t is not None]
    known_ups = [u for u in ups if u is not None]
    try:
        cal = stelvane.calibrate_camera(
            frames, catalog, focal_px=args.focal, cx=args.cx, cy=args.cy, fisheye_fov_deg=args.fov, k1=args.k1,
            k2=args.k2, k3=args.k3, k4=args.k4, scale_tolerance=args.scale_tolerance,
            times_utc=None if missing else known_times, up_cam=known_ups if len(known_ups) == len(ups) else None,
            fit_distortion=args.fit_distortion, sigma_arcmin=args.sigma, max_residual_rms_px=args.max_residual)
        cal.save(args.output)
    except stelvane.StelvaneError as err:
        print(f"{PROG}: {err}", file=sys.stderr)
        return EXIT_SOME_FAILED
    except OSError as err:
        print(f"{PROG}: --output {args.output}: {err.strerror or err}", file=sys.stderr)
        return EXIT_SOME_FAILED
    if not args.quiet:
        print(format_calibration(cal, args.output))
    return EXIT_SOME_FAILED if skipped else EXIT_SOLVED


def main(argv: Sequence[str] | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    # The builder and the demo keep their own options; their words pass through untouched.
    if argv[:1] == ["catalog"]:
        from stelvane import pipeline

        return pipeline.main(argv[1:], prog=f"{PROG} catalog")
    if argv[:1] == ["demo"]:
        from stelvane import demo

        return demo.main(argv[1:], prog=f"{PROG} demo")
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return int(args.run(args.parser, args))
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:  # the reader of stdout left (stelvane solve ... | head)
        sys.stderr.close()
        return EXIT_SOME_FAILED


if __name__ == "__main__":
    sys.exit(main())
