"""The tavrel demo: dialogs driving a simulated network device.

``python -m tavrel.demo`` runs the scenario of :mod:`tavrel.demo.scenario`
against the device program :mod:`tavrel.demo.device`.
"""
