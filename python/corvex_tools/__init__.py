"""Command-line tools for corvex: run summaries and conversion to open formats.

The ``corvex`` command (:mod:`corvex_tools.cli`) prints what a WIFF run holds
(``corvex info``) and converts its samples to indexed mzML or MGF
(``corvex convert``).  The writers are importable on their own:
:func:`corvex_tools.mzml.write_mzml`, :func:`corvex_tools.mgf.write_mgf` and
:func:`corvex_tools.info.summarize`.
"""

__all__ = ["ToolError"]


class ToolError(Exception):
    """A problem with the user's input or output that the command reports in one line."""
