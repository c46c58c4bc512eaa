#!/usr/bin/env python3
"""Turns zr_bench's JSON output into RESULTS.md.

Usage: make_results.py BENCH.json RESULTS.md [README.md]
       make_results.py --arm ARMCOST_OUTPUT RESULTS.md

Benchmark names are CASE/ROW/COLUMN. Each case becomes one table; every zr
column (zr_...) of a row becomes a line with the peers' figures and the
physical limit (memset, memcpy or fread) of the same row, its ratio to the
best peer and to the limit, and whether it meets the case's target. When a
README is given and holds the markers <!-- bench:headline --> and
<!-- /bench:headline -->, the headline table replaces what stands between them.

The ARM section (between <!-- bench:arm --> and <!-- /bench:arm -->) comes
from bench/armcost, not from zr_bench: a rewrite keeps it as it was, and
--arm replaces it with the table of one armcost run (appending it when the
file has none).
"""

import json
import os
import re
import statistics
import sys

LIMITS = ("memset", "memcpy", "fread")

# case: (title, unit, targets). A target is (reference, factor): the zr figure
# must reach factor x the reference, which is a column name, "limit" (the
# row's memset/memcpy/fread) or "best peer".
CASES = {
    "fill": ("1. Full-frame clear and filled rectangle (brush only)", "Mpix/s",
             [("limit", 0.9), ("pixman_fill", 1.0)]),
    "copy": ("2. Full-frame buffer to screen", "Mpix/s", [("limit", 0.95)]),
    "bitmap": ("3. Bitmap to screen, 640x480 image on an 800x480 screen (1920x1080 rows: the whole screen)",
               "Mpix/s",
               [("best peer", 1.0)]),
    "blend": ("4. Alpha blend, 640x480, alpha spread over 0..255", "Mpix/s",
              [("SDL_BlitSurface", 1.0)]),
    "shapes": ("5. Primitives on 800x480, 32 bits", "k shapes/s", [("SDL2_gfx", 1.0)]),
    "bmp-load": ("6. BMP load from the page cache, 1920x1080", "Mpix/s",
                 [("SDL_LoadBMP_RW", 1.0)]),
    "other": ("7. Without peers, 800x480", "Mpix/s", []),
    "present": ("8. zr_present by shadow copy, 1920x1080, by rows damaged", "Mpix/s",
                [("memcpy", 1 / 1.05)]),
    # Each text row has one of the two peer columns: draws are judged against
    # TTF_RenderUTF8_Blended, measures against TTF_SizeUTF8, first draws not.
    "text": ("9. Text with one TrueType file, 800x480 buffer", "k strings/s",
             [("TTF_RenderUTF8_Blended", 2.0), ("TTF_SizeUTF8", 10.0)]),
    "image-load": ("10. PNG and JPEG load from memory, 1920x1080 photograph", "Mpix/s",
                   [("decoder_alone", 1 / 1.05)]),
    "image-show": ("11. PNG and JPEG load and show on a buffer in the screen's format, 1920x1080",
                   "Mpix/s", [("best peer", 1.0)]),
    "smooth": ("12. Smooth (anti-aliased) shapes on 800x480, 16 and 32 bits", "k shapes/s",
               [("best peer", 1.0)]),
    "present-rotated": ("13. zr_present of a picture turned onto a sideways panel, 90 and 270 degrees",
                        "Mpix/s", [("pixman", 1.0)]),
}

NOTES = {
    "present-rotated": "Rows name the panel's size; the program draws the picture turned (480x800 on an "
                       "800x480 panel) and zr_present turns it onto the panel, as a rotated screen does "
                       "in software. pixman: pixman_image_composite32 (SRC) between two buffers of the "
                       "same sizes with the quarter-turn transform its rotation fast paths take. memcpy: "
                       "the same bytes copied unturned. 10pct rows: a tenth of the picture's rows damaged "
                       "(no peer).",
    "fill": "Peers and limit write the same bytes of the same DC memory. "
            "memset writes bytes, not the colour, so it is the store bandwidth itself.",
    "copy": "`zr_bitblt` takes its row-copy path (two DCs in device format).",
    "bitmap": "The bitmap rows are bottom-up: pixman reads them through a negative stride, "
              "SDL from a top-down copy (what SDL_LoadBMP gives). memcpy copies the "
              "destination's bytes of the same rectangle.",
    "blend": "The zr source is a 32-bit bitmap DC of kind DC_TYPE_ALPHA; zr rounds exactly "
             "(nearest of the /255 rule). SDL blends the same non-premultiplied source with its "
             "approximate rule; pixman OVER needs a premultiplied source (made once, untimed).",
    "shapes": "One iteration draws the whole fixed-seed list; SDL2_gfx draws through a software "
              "renderer over the same memory. Rectangles with pen and brush are boxRGBA then "
              "rectangleRGBA for SDL2_gfx.",
    "bmp-load": "Each load opens the file, decodes it into a new image and frees it. stb_image "
                "refuses run-length files and expands palettes to RGB; zr and SDL keep 8 bits. "
                "fread reads the whole file into a buffer.",
    "other": "memcpy or memset of the frame's bytes gives the scale only.",
    "present": "Pixels are those of the damaged rows; memcpy copies the same bytes between two "
               "buffers. A present must cost at most 1.05 x that memcpy and follow the rows, "
               "not the frame. A page flip or a pan copies nothing.",
    "text": "A 40-character Latin line (DejaVu Sans) and a 20-syllable Hangul line (Nanum "
            "Gothic) at 16 and 32 pixels per em, opaque colour over a buffer in the screen's "
            "format. draw rows: glyphs cached; SDL_ttf renders the string to a new surface with "
            "TTF_RenderUTF8_Blended and blends it on with SDL_BlitSurface over the same memory, "
            "as its users draw a label (target 2 ×). size rows: zr_text_size against "
            "TTF_SizeUTF8 (target 10 ×). first-draw rows: open the font, draw once, close "
            "(`zr_font_open` stands for zr_font_open + zr_text_out + zr_font_close; no target).",
    "image-load": "The files are made at start (libpng's default compression; libjpeg quality 90, "
                  "4:2:0) and decoded from memory. decoder_alone is the decoder zr uses (libpng, "
                  "libjpeg-turbo) called directly into a plain top-down buffer of RGB or RGBA rows; "
                  "zr writes BGR or BGRA straight into the bitmap's bottom-up rows (target: at most "
                  "1.05 × decoder_alone's time). stb_image and SDL_image (IMG_Load_RW) load into "
                  "their own buffers.",
    "image-show": "Load from memory, then the whole picture onto a buffer DC of 16 (5-6-5) or 32 "
                  "bits; RGBA images are blended. The peers blit with SDL_BlitSurface onto the same "
                  "memory: SDL_image's surface as loaded, stb_image's pixels wrapped in a surface.",
    "smooth": "Each row draws a fixed-seed list of one shape at one size (8, 32 or 256 pixels, or the "
              "whole screen) at random places, colours and angles; cairo (an image surface of the same "
              "format, default antialiasing) and AGG (scanline_aa, pixfmt_rgb565 or pixfmt_bgrx32) "
              "draw the same geometry over the same memory. Filled shapes have a 1-pixel pen, lines "
              "and arcs butt caps; the star is filled only, the gradient is a linear one of three "
              "stops across a disc. Target: the faster peer on every row, 1.5 x it in geometric mean."
}


def load_rates(benchmarks):
    """Median items/s per name, the coefficient of variation when repeated, errors."""
    medians, cvs, errors, runs = {}, {}, {}, {}
    for b in benchmarks:
        name = b.get("run_name", b["name"])
        if b.get("error_occurred"):
            errors[name] = b.get("error_message", "error")
            continue
        rate = b.get("items_per_second")
        if rate is None:
            continue
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                medians[name] = rate
            elif b.get("aggregate_name") == "cv":
                cvs[name] = rate
        else:
            runs.setdefault(name, []).append(rate)
    for name, values in runs.items():
        medians.setdefault(name, statistics.median(values))
    return medians, cvs, errors


def split(name):
    parts = name.split("/")
    if len(parts) < 3:
        return None
    return parts[0], "/".join(parts[1:-1]), parts[-1]


def fmt_rate(value, unit):
    scaled = value / (1e3 if unit.startswith("k ") else 1e6)
    if scaled >= 100:
        return f"{scaled:,.0f}"
    if scaled >= 10:
        return f"{scaled:.1f}"
    return f"{scaled:.2f}"


def evaluate(targets, row_rates, zr, limit_name, best_peer):
    """(met, text, margin) for one zr figure: margin is the smallest ratio to a
    reference divided by its factor (1.00 = exactly on target); met is None
    when no reference was measured."""
    failures, margins = [], []
    for ref, factor in targets:
        if ref == "limit":
            ref_name, ref_rate = limit_name, row_rates.get(limit_name)
        elif ref == "best peer":
            ref_name, ref_rate = best_peer if best_peer else (None, None)
        else:
            ref_name, ref_rate = ref, row_rates.get(ref)
        if not ref_rate:
            continue
        ratio = zr / ref_rate
        margins.append(ratio / factor)
        if ratio < factor:
            failures.append(f"{ratio:.2f} × {ref_name}")
    if not margins:
        return None, "no reference", None
    if failures:
        return False, "; ".join(failures), min(margins)
    return True, "met", min(margins)


def target_text(targets, limits):
    """The targets in words, "limit" named by the case's limit columns."""
    words = []
    for ref, factor in targets:
        name = "/".join(limits) if ref == "limit" and limits else ref
        words.append(f"≥ {name}" if factor == 1 else f"≥ {factor:g} × {name}")
    return " and ".join(words) or "none"


def header(ctx):
    loads = ctx.get("load_avg", [])
    cpus = ctx.get("num_cpus", 0)
    lines = [
        "# zr benchmark results\n",
        "Written by `bench/run` from one run of `zr_bench`; do not edit by hand.\n",
        f"- Run: {ctx.get('date', '?')} on {ctx.get('host_name', '?')}, {cpus or '?'} CPUs at "
        f"{ctx.get('mhz_per_cpu', '?')} MHz, load average "
        f"{', '.join(f'{x:.2f}' for x in loads) or '?'}",
        f"- Build: {ctx.get('zr_build_type', '?')}, compiler {ctx.get('zr_compiler', '?')}; "
        f"peers: {ctx.get('zr_peers', '?')}",
        "- Figures: the median of the repetitions, from the thread's CPU time; "
        "ratios compare figures of this same run.",
    ]
    if loads and cpus and loads[0] > 0.5 * cpus:
        lines.append(f"- **The machine was busy during this run** (load average {loads[0]:.1f} on "
                     f"{cpus} CPUs): these figures are provisional; the final figures are taken "
                     "on a quiet machine.")
    return lines + [""]


def case_table(case, rows, cvs):
    """The section of one case, its headline row (None without a target) and
    its missed targets."""
    title, unit, targets = CASES.get(case, (case, "Mpix/s", []))
    columns = []
    for rates in rows.values():
        columns += [c for c in rates if c not in columns]
    limits = [c for c in columns if c in LIMITS]
    peers = [c for c in columns if not c.startswith("zr") and c not in LIMITS]
    head = ["Row", "zr call", "zr"] + limits + peers + ["÷ best peer", "÷ limit"]
    align = ["---"] * 2 + ["---:"] * (len(head) - 2)
    if targets:
        head.append("target")
        align.append("---")
    lines = [f"## {title}\n",
             f"{unit}; target: {target_text(targets, limits)}. {NOTES.get(case, '')}\n",
             "| " + " | ".join(head) + " |", "|" + "|".join(align) + "|"]
    met_count, judged_count, worst, misses = 0, 0, None, []

    for row, rates in rows.items():
        numeric = {c: v for c, v in rates.items() if isinstance(v, float)}
        limit_name = next((c for c in limits if c in numeric), None)
        peer_rates = [(c, numeric[c]) for c in peers if c in numeric]
        best_peer = max(peer_rates, key=lambda p: p[1]) if peer_rates else None
        others = [fmt_rate(rates[c], unit) if isinstance(rates.get(c), float) else rates.get(c, "")
                  for c in limits + peers]
        for zr_col in [c for c in rates if c.startswith("zr")]:
            zr = numeric.get(zr_col)
            if zr is None:  # an error message
                line = [row, f"`{zr_col}`", rates[zr_col]] + others + [""] * (len(head) - 3 - len(others))
                lines.append("| " + " | ".join(line) + " |")
                continue
            figure = fmt_rate(zr, unit)
            cv = cvs.get(f"{case}/{row}/{zr_col}")
            if cv is not None:
                figure += f" ±{cv * 100:.0f}%"
            line = [row, f"`{zr_col}`", figure] + others
            line.append(f"{zr / best_peer[1]:.2f} ({best_peer[0]})" if best_peer else "")
            line.append(f"{zr / numeric[limit_name]:.2f}" if limit_name else "")
            if targets:
                met, text, margin = evaluate(targets, numeric, zr, limit_name, best_peer)
                line.append("✓" if met else ("✗ " + text if met is False else text))
                if met is not None:
                    judged_count += 1
                    met_count += 1 if met else 0
                    if worst is None or margin < worst[0]:
                        worst = (margin, f"{row} `{zr_col}`")
                if met is False:
                    misses.append(f"- {title.split(' ', 1)[0]} {row}, `{zr_col}`: {text} "
                                  f"(target {target_text(targets, limits)})")
            lines.append("| " + " | ".join(line) + " |")
    lines.append("")
    headline = None
    if targets:
        headline = (f"| {title} | {target_text(targets, limits)} | {met_count} of {judged_count} | "
                    + (f"{worst[0]:.2f} ({worst[1]})" if worst else "") + " |")
    return lines, headline, misses


def build(data):
    """RESULTS.md's text and the headline table alone."""
    medians, cvs, errors = load_rates(data.get("benchmarks", []))
    cases = {}  # case -> row -> column -> rate, or error text
    for name in list(medians) + list(errors):
        parsed = split(name)
        if parsed is None:
            continue
        case, row, column = parsed
        value = medians.get(name, "error: " + errors.get(name, ""))
        cases.setdefault(case, {}).setdefault(row, {})[column] = value

    body, headline, misses = [], [], []
    for case in [c for c in CASES if c in cases] + sorted(c for c in cases if c not in CASES):
        lines, row, missed = case_table(case, cases[case], cvs)
        body += lines
        headline += [row] if row else []
        misses += missed

    table = ["| Case | Target | Rows meeting it | Worst row |", "|---|---|---:|---|"] + headline
    summary = ["## Headline\n",
               "Each zr figure against its target; the worst row shows its smallest ratio to a "
               "reference divided by the target factor (1.00 = exactly on target).\n"] + table + [""]
    if misses:
        summary += ["### Missed targets\n",
                    "What limits each is written in bench/LIMITS.md, appended below when present.\n"]
        summary += misses + [""]
    return "\n".join(header(data.get("context", {})) + summary + body), "\n".join(table)


ARM_SECTION = re.compile(r"<!-- bench:arm -->\n.*?<!-- /bench:arm -->\n?", re.S)


def arm_section(report, commit):
    """The ARM section from armcost's output: its table of executed
    instructions down to the geometric mean."""
    lines = report.splitlines()
    start = next((i for i, l in enumerate(lines) if l.startswith("## Executed instructions")), None)
    end = next((i for i, l in enumerate(lines) if l.startswith("armcost: zr/best-peer")), None)
    if start is None or end is None or end < start:
        sys.exit("make_results.py: no armcost table in the output given")
    return "\n".join([
        "<!-- bench:arm -->",
        "## ARM (64-bit, instruction counts under qemu-user)\n",
        f"Written by `bench/armcost` (tree at {commit}) with the armcost tool from ../shared: "
        + lines[start][3].lower() + lines[start][4:] + ", counted by a QEMU plugin. Counts stand "
        "in for time. The rest of this file comes from `bench/run`.",
    ] + lines[start + 1:end + 1] + ["<!-- /bench:arm -->", ""])


def put_arm_section(results, section):
    """results with section in place of its ARM section, or appended."""
    if ARM_SECTION.search(results):
        return ARM_SECTION.sub(lambda _: section, results, count=1)
    return results.rstrip("\n") + "\n\n" + section


def main(argv):
    if len(argv) == 4 and argv[1] == "--arm":
        with open(argv[2], encoding="utf-8") as f:
            report = f.read()
        commit = os.environ.get("ZR_ARMCOST_COMMIT", "?")
        try:
            with open(argv[3], encoding="utf-8") as f:
                results = f.read()
        except FileNotFoundError:
            results = ""
        with open(argv[3], "w", encoding="utf-8") as f:
            f.write(put_arm_section(results, arm_section(report, commit)))
        return
    if len(argv) not in (3, 4):
        sys.exit(__doc__)
    with open(argv[1], encoding="utf-8") as f:
        data = json.load(f)
    results, headline = build(data)
    limits_notes = os.path.join(os.path.dirname(argv[2]), "LIMITS.md")
    try:
        with open(limits_notes, encoding="utf-8") as f:
            results += "\n" + f.read()
    except FileNotFoundError:
        pass
    try:
        with open(argv[2], encoding="utf-8") as f:
            kept = ARM_SECTION.search(f.read())
    except FileNotFoundError:
        kept = None
    if kept:
        results = put_arm_section(results, kept.group(0))
    with open(argv[2], "w", encoding="utf-8") as f:
        f.write(results)
    if len(argv) == 4:
        try:
            with open(argv[3], encoding="utf-8") as f:
                readme = f.read()
        except FileNotFoundError:
            return
        pattern = re.compile(r"(<!-- bench:headline -->\n).*?(<!-- /bench:headline -->)", re.S)
        if pattern.search(readme):
            readme = pattern.sub(lambda m: m.group(1) + headline + "\n" + m.group(2), readme)
            with open(argv[3], "w", encoding="utf-8") as f:
                f.write(readme)


if __name__ == "__main__":
    main(sys.argv)
