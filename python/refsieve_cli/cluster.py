"""The name under which earlier versions offered :mod:`refsieve_cli.engine.dask` (Dask scoring)."""

from refsieve_cli.engine.dask import ClusterError, DaskEngine, check_workers, connect, resolve_on_cluster

__all__ = ["ClusterError", "DaskEngine", "check_workers", "connect", "resolve_on_cluster"]
