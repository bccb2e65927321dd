import enum


class AgentType(str, enum.Enum):
    ZERO_SHOT_REACT_DESCRIPTION = "zero-shot-react-description"
    OPENAI_FUNCTIONS = "openai-functions"
