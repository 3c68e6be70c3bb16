"""Load flow of unbalanced, multi-conductor electrical distribution networks.

The engine lives in the extension module ``load_flow_engine.cy_engine``.
"""
