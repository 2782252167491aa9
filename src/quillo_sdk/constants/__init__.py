"""Names and settings shared by the kit's modules."""

from __future__ import annotations

from quillo_sdk.constants.variables import (
    BASE_MODEL_DIR,
    MAX_MODEL_BYTES,
    MODEL_URL,
    PORTABLE,
    SERVER_HOST,
    TOKEN_FILE,
)


class KEY:
    """Keys written into a track's ``info`` mapping by the zone gate."""

    ROI_ID = "roi_id"
    ROI_NAME = "roi_name"


class MODEL_TYPE:
    """Model frameworks recognised by ``check_model_type``, and the built-in model."""

    INTERNAL = "internal"
    TF_YOLO = "tf_yolo"
    OPENVINO = "openvino"
    TF_LITE = "tflite"
    TensorRT = "tensorrt"
    TF_V2 = "tf_v2"
    TF_V1 = "tf_v1"
    TORCH = "torch"


__all__ = ["KEY", "MODEL_TYPE", "BASE_MODEL_DIR", "MAX_MODEL_BYTES", "MODEL_URL", "PORTABLE", "SERVER_HOST", "TOKEN_FILE"]
