"""Tessaly Antivirus endpoint agent.

Runs as ``python3 -m agent.main`` and answers the console's requests on a
per-user Unix socket. One module per concern; see README.md.
"""

__version__ = "1.0.0"
