object Main: TMain
  Left = 0
  Top = 0
  BorderIcons = [biSystemMenu, biMinimize]
  BorderStyle = bsSingle
  Caption = 'Lokklang (TCP)'
  ClientHeight = 225
  ClientWidth = 386
  Font.Height = -11
  Font.Name = 'MS Sans Serif'
  Position = poScreenCenter
  OnCreate = FormCreate
  OnDestroy = FormDestroy
  object Label1: TLabel
    Left = 8
    Top = 96
    Caption = ''
  end
  object Label2: TLabel
    Left = 8
    Top = 112
    Caption = ''
  end
  object Label3: TLabel
    Left = 8
    Top = 128
    Caption = ''
  end
  object Label4: TLabel
    Left = 8
    Top = 144
    Caption = ''
  end
  object Label5: TLabel
    Left = 8
    Top = 160
    Caption = ''
  end
  object Label6: TLabel
    Left = 168
    Top = 144
    Caption = ''
  end
  object Label7: TLabel
    Left = 168
    Top = 160
    Caption = ''
  end
  object gbVerbindung: TGroupBox
    Left = 8
    Top = 8
    Width = 274
    Height = 73
    Caption = ' TCP-Verbindung '
    TabOrder = 0
    object laServer: TLabel
      Left = 8
      Top = 20
      Caption = 'Server:'
    end
    object laPort: TLabel
      Left = 8
      Top = 44
      Caption = 'Port:'
    end
    object edServer: TEdit
      Left = 48
      Top = 16
      Width = 134
      Height = 21
      Text = 'localhost'
      TabOrder = 0
    end
    object cbPort: TComboBox
      Left = 48
      Top = 40
      Width = 134
      Height = 21
      Text = '1435'
      Items.Strings = (
        '1435')
      TabOrder = 1
    end
    object btnConnect: TButton
      Left = 192
      Top = 16
      Width = 73
      Height = 25
      Caption = 'Verbinden'
      TabOrder = 2
      OnClick = btnConnectClick
    end
  end
  object cbOnTop: TCheckBox
    Left = 288
    Top = 48
    Width = 97
    Height = 17
    Caption = 'Im Vordergrund'
    TabOrder = 1
    OnClick = cbOnTopClick
  end
  object cbSound: TCheckBox
    Left = 288
    Top = 64
    Width = 73
    Height = 17
    Caption = 'Sound ein'
    Checked = True
    TabOrder = 2
    OnClick = cbSoundClick
  end
  object CliSocket: TEventSocket
    Proto = 'tcp'
    MultiThreaded = False
    LingerOnOff = wsLingerOn
    LingerTimeout = 0
    OnDataAvailable = CliSocketDataAvailable
    OnSessionClosed = CliSocketSessionClosed
    OnSessionConnected = CliSocketSessionConnected
  end
  object CliSocketBuffer: TCiaBuffer
    InitialSize = 4096
    SwapLen = False
    OnReceived = CliSocketBufferReceived
  end
  object Mixer: TDSMixer
    BitsPerSample = bs16Bit
    Stereo = True
    Frequency = 44100
    Level = lPriority
    SpeakerConfig = 4
  end
  object tiLuefterAnfang: TThreadedTimer
    Interval = 5250
    OnTimer = tiLuefterAnfangTimer
  end
  object tiLueftersteuerung: TThreadedTimer
    Interval = 100
    OnTimer = tiLueftersteuerungTimer
  end
  object tiUmformerEin: TThreadedTimer
    Interval = 4100
    OnTimer = tiUmformerEinTimer
  end
end
